#include "sim/replyqueue.h"

#include <algorithm>

ReplyQueue::ReplyQueue(const QElapsedTimer &clock, Sender sender)
    : m_clock(clock), m_sender(std::move(sender))
{
    m_timer.setSingleShot(true);
    // A coarse timer may fire up to 5% early, which would break the promised delay.
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { releaseDue(); });
}

void ReplyQueue::enqueue(PendingReply reply)
{
    const auto later =
        std::upper_bound(m_pending.begin(), m_pending.end(), reply.dueNs,
                         [](qint64 due, const PendingReply &queued) { return due < queued.dueNs; });
    m_pending.insert(later, std::move(reply));
    releaseDue();
}

void ReplyQueue::releaseDue()
{
    while (!m_pending.empty() && m_pending.front().dueNs <= m_clock.nsecsElapsed()) {
        const PendingReply reply = std::move(m_pending.front());
        m_pending.pop_front();
        m_sender(reply);
    }
    if (m_pending.empty()) {
        m_timer.stop();
        return;
    }
    // Rounded up: a reply never leaves before its time. Never negative, though: the front
    // reply may have come due since the loop looked, and Qt refuses a negative interval,
    // which would leave the reply waiting for the next datagram.
    const qint64 waitNs = m_pending.front().dueNs - m_clock.nsecsElapsed();
    m_timer.start(int(qMax<qint64>(0, (waitNs + 999999) / 1000000)));
}
