#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTimer>
#include <deque>
#include <functional>

// A reply waiting for its moment: device time (--delay-ms, --erase-ms) is spent here, on a
// timer, so the simulator keeps reading datagrams while a reply waits.
struct PendingReply
{
    qint64 dueNs = 0;      // on the simulator's clock
    qint64 receivedNs = 0; // when its command arrived, for the round-trip time
    QByteArray bytes;
    QByteArray commandName;
    QHostAddress address;
    quint16 port = 0;
};

// Releases replies in the order of their due times; replies due at the same moment leave
// in the order their commands came. A reply already due leaves at once, inside enqueue().
class ReplyQueue
{
public:
    using Sender = std::function<void(const PendingReply &)>;

    ReplyQueue(const QElapsedTimer &clock, Sender sender);

    void enqueue(PendingReply reply);
    int size() const { return int(m_pending.size()); }

private:
    void releaseDue();

    const QElapsedTimer &m_clock;
    Sender m_sender;
    std::deque<PendingReply> m_pending;
    QTimer m_timer;
};
