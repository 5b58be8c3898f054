#include "session/devicesession.h"

#include "core/logging.h"
#include "core/protocol.h"

#include <utility>

namespace {

constexpr int RepliesPerWakeUp = 64; // then back to the event loop: other devices wait too

QString hexStatus(quint8 status)
{
    return QStringLiteral("0x%1").arg(status, 2, 16, QLatin1Char('0'));
}

QString seconds(int ms)
{
    return QString::number(ms / 1000.0, 'g', 6) + QStringLiteral(" s");
}

// A timer whose expiry decides a failure: a coarse one may fire up to 5 % early.
void setUpTimer(QTimer &timer, int intervalMs, bool singleShot)
{
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(intervalMs);
    timer.setSingleShot(singleShot);
}

} // namespace

DeviceSession::DeviceSession(const DeviceTarget &device, Operation operation,
                             const QByteArray &image, const Settings &settings, QObject *parent)
    : QObject(parent), m_device(device), m_operation(operation), m_image(image),
      m_settings(settings), m_endNotices(settings.endNoticeIntervalMs)
{
    setUpTimer(m_pingTimer, settings.pingIntervalMs, false);
    setUpTimer(m_linkTimer, settings.linkTimeoutMs, true);
    setUpTimer(m_keepAliveTimer, settings.replyTimeoutMs, true);
    setUpTimer(m_replyTimer, settings.replyTimeoutMs, true);
    setUpTimer(m_retryTimer, settings.retryAfterMs, true);

    connect(&m_socket, &DeviceSocket::readyRead, this, &DeviceSession::readReplies);
    connect(&m_pingTimer, &QTimer::timeout, this, [this] {
        if (!m_heard && !std::exchange(m_saidWaiting, true))
            emit waiting(qMin(m_settings.linkTimeoutMs, m_settings.replyTimeoutMs));
        sendPing(Conversation::Ping::Tick);
    });
    connect(&m_linkTimer, &QTimer::timeout, this, [this] {
        onSilence(
            Result::LinkLost,
            QStringLiteral("no keep-alive answer for %1").arg(seconds(m_settings.linkTimeoutMs)));
    });
    connect(&m_keepAliveTimer, &QTimer::timeout, this, [this] {
        onSilence(Result::TimedOut, QStringLiteral("no keep-alive answer to Ping within %1")
                                        .arg(seconds(m_settings.replyTimeoutMs)));
    });
    connect(&m_replyTimer, &QTimer::timeout, this, [this] {
        finish(Result::TimedOut, QStringLiteral("no reply to %1 (sequence %2) within %3")
                                     .arg(QLatin1String(m_requestName))
                                     .arg(m_sequence)
                                     .arg(seconds(m_settings.replyTimeoutMs)));
    });
    connect(&m_retryTimer, &QTimer::timeout, this, &DeviceSession::repeatRequest);
}

void DeviceSession::start()
{
    m_clock.start();
    m_stage = Stage::Connecting;
    QString error;
    if (!m_socket.open(m_device.address, m_device.port, m_device.interface, &error)) {
        finish(Result::LinkLost,
               QStringLiteral("cannot open a socket to %1: %2").arg(m_device.label(), error));
        return;
    }
    sendPing(Conversation::Ping::Opening);
    if (m_stage == Stage::Done)
        return;
    if (m_operation != Operation::Watch)
        m_linkTimer.start();
    m_pingTimer.start();
}

void DeviceSession::interrupt()
{
    if (m_stage == Stage::Done)
        return;
    // Whatever the notice limit says: the device must not be left with an upload open.
    const bool told = m_stage == Stage::Busy && send(CmdNotice, CommandName::End, nullptr, 0, true);
    finish(Result::Interrupted,
           told ? QStringLiteral("interrupted; End notice sent") : QStringLiteral("interrupted"));
}

void DeviceSession::readReplies()
{
    char buffer[DatagramBufferSize];
    for (int i = 0; i < RepliesPerWakeUp && m_stage != Stage::Done; ++i) {
        qint64 length = 0;
        QString error;
        switch (m_socket.receive(buffer, sizeof buffer, &length, &error)) {
        case DeviceSocket::Receive::Datagram:
            // The socket is connected: only the device's own datagrams arrive here.
            m_heard = true;
            qCDebug(lcLink).noquote()
                << m_device.label()
                << Logging::describeReply(buffer, length,
                                          (m_clock.nsecsElapsed() - m_requestSentNs) / 1000);
            handleReply(buffer, length);
            break;
        case DeviceSocket::Receive::Nothing:
            return;
        case DeviceSocket::Receive::Refused:
            if (m_operation == Operation::Watch)
                continue;
            finish(Result::NothingListens,
                   QStringLiteral("nothing listens at %1").arg(m_device.label()));
            return;
        case DeviceSocket::Receive::Failed:
            finish(Result::LinkLost, QStringLiteral("cannot receive: %1").arg(error));
            return;
        }
    }
}

void DeviceSession::handleReply(const char *data, qint64 length)
{
    Conversation::Outstanding outstanding;
    outstanding.link = m_stage == Stage::Connecting ? LinkConnecting : LinkUp;
    outstanding.request = m_stage == Stage::Busy && m_requestName;
    outstanding.sequence = m_sequence;
    outstanding.retransmits = m_settings.retries > 0;
    const Conversation::Reply reply = Conversation::readReply(data, length, outstanding);
    if (m_operation == Operation::Watch) { // nothing was asked but "Ping"
        if (reply == Conversation::Reply::KeepAlive)
            onKeepAlive();
        return;
    }
    const quint8 expected = m_sequence; // before a notice takes the next number
    if (Conversation::callsForEndNotice(reply))
        sendEndNotice(); // whatever the device was doing is over
    const quint8 status = Datagram::replyByte(data, length, ReplyStatusOffset);
    switch (reply) {
    case Conversation::Reply::Ignored:
    case Conversation::Reply::Stray:
        break;
    case Conversation::Reply::Stale: // never a reason to send again (sorcerer's apprentice)
        ++m_lateReplies;
        break;
    case Conversation::Reply::KeepAlive:
        onKeepAlive();
        break;
    case Conversation::Reply::Mismatch:
        finish(Result::SequenceMismatch,
               QStringLiteral("a reply echoed sequence %1, expected %2; End notice sent")
                   .arg(Datagram::replyByte(data, length, ReplySequenceOffset))
                   .arg(expected));
        break;
    case Conversation::Reply::Success:
        onVerdict(true, status);
        break;
    case Conversation::Reply::Failure:
        onVerdict(false, status);
        break;
    }
}

void DeviceSession::onKeepAlive()
{
    const Conversation::KeepAliveStep step =
        Conversation::onKeepAlive(m_stage == Stage::Connecting ? LinkConnecting : LinkUp);
    const bool watching = m_operation == Operation::Watch;
    if (step.restartsLinkWindow && !watching)
        m_linkTimer.start();
    m_keepAliveTimer.stop();
    emit commandAnswered(CommandName::Ping, m_sequence, Datagram::ReplyKind::KeepAlive,
                         KeepAliveCode, (m_clock.nsecsElapsed() - m_pingSentNs) / 1000);
    if (step.linkComesUp && !watching)
        beginStep(m_operation);
}

void DeviceSession::onVerdict(bool success, quint8 status)
{
    m_replyTimer.stop();
    m_retryTimer.stop();
    const qint64 roundTripUs = (m_clock.nsecsElapsed() - m_requestSentNs) / 1000;
    m_roundTripsUs.append(roundTripUs);
    emit commandAnswered(m_requestName, m_sequence,
                         success ? Datagram::ReplyKind::Success : Datagram::ReplyKind::Failure,
                         status, roundTripUs);
    const FlashProcedure::Step step =
        FlashProcedure::onReply(m_uploadStage, success, m_offset, m_image.size());
    if (m_uploadStage != step.stage)
        qCDebug(lcFlash).noquote()
            << m_device.label() << "stage" << FlashProcedure::stageName(m_uploadStage) << "->"
            << FlashProcedure::stageName(step.stage);
    m_uploadStage = step.stage;
    if (step.percent >= 0)
        setPercent(step.percent);
    switch (step.action) {
    case FlashProcedure::Action::Wait:
        break;
    case FlashProcedure::Action::SendBlock: {
        const FlashProcedure::Block block = FlashProcedure::takeBlock(&m_offset, m_image.size());
        sendRequest(CommandName::Write, m_image.constData() + block.offset, block.length);
        break;
    }
    case FlashProcedure::Action::SendEnd:
        sendRequest(CommandName::End);
        break;
    case FlashProcedure::Action::Finish: {
        if (!FlashProcedure::isFailure(step.verdict) && m_stepsRun.size() <= m_nextSteps.size()) {
            beginStep(m_nextSteps[m_stepsRun.size() - 1]);
            break;
        }
        QString detail = QLatin1String(FlashProcedure::verdictText(step.verdict));
        if (FlashProcedure::isFailure(step.verdict))
            detail += QStringLiteral(" (%1 answered %2)")
                          .arg(QLatin1String(m_requestName), hexStatus(status));
        finish(FlashProcedure::isFailure(step.verdict) ? Result::Refused : Result::Succeeded,
               detail);
        break;
    }
    }
}

void DeviceSession::beginStep(Operation step)
{
    m_stage = Stage::Busy;
    m_stepsRun.append(step);
    switch (step) {
    case Operation::Upload:
        m_offset = 0;
        m_uploadStage = StageErasing;
        sendRequest(CommandName::Start);
        break;
    case Operation::Check:
        m_uploadStage = StageChecking;
        sendRequest(CommandName::Check);
        break;
    case Operation::StartApplication:
        if (send(CmdNotice, CommandName::StartApplication, nullptr, 0, true))
            finish(Result::Succeeded, QStringLiteral("Application should be started."));
        break;
    case Operation::Watch:
        break;
    }
}

void DeviceSession::sendEndNotice()
{
    if (m_endNotices.tryTake())
        send(CmdNotice, CommandName::End, nullptr, 0, true);
}

void DeviceSession::sendPing(Conversation::Ping ping)
{
    const qint64 sentNs = m_clock.nsecsElapsed();
    if (!send(CmdRequest, CommandName::Ping, nullptr, 0, Conversation::advancesSequence(ping)))
        return;
    m_pingSentNs = sentNs;
    // The oldest unanswered Ping sets the limit, so a device that never answers pings
    // cannot hide behind the next one.
    if (!m_keepAliveTimer.isActive() && m_operation != Operation::Watch)
        m_keepAliveTimer.start();
}

void DeviceSession::sendRequest(const char *name, const char *payload, int payloadLength)
{
    m_requestName = name;
    m_attempt = 0;
    if (!send(CmdRequest, name, payload, payloadLength, true))
        return;
    m_replyTimer.start();
    if (m_settings.retries > 0)
        m_retryTimer.start(m_settings.retryAfterMs);
}

void DeviceSession::repeatRequest()
{
    if (m_attempt >= m_settings.retries || m_stage != Stage::Busy)
        return;
    ++m_attempt;
    ++m_retries;
    emit requestRepeated(m_requestName, m_sequence, m_attempt);
    // The same bytes with the same sequence: the device answers a repeat without applying it.
    const qint64 sentNs = m_clock.nsecsElapsed();
    if (!transmit(m_request, m_requestName))
        return;
    m_requestSentNs = sentNs;
    // Each wait twice the one before, the last one ending --retry-after before the time limit:
    // a few repeats span it all, so that a reply lost while the device is still busy (a long
    // erase answers no repeat) is asked for again once it may be done.
    const qint64 wait = qMin(qint64(m_settings.retryAfterMs) << qMin(m_attempt, 30),
                             qint64(m_replyTimer.remainingTime() - m_settings.retryAfterMs));
    if (wait > 0)
        m_retryTimer.start(int(wait));
}

bool DeviceSession::send(quint8 type, const char *name, const char *payload, int payloadLength,
                         bool advance)
{
    if (advance)
        m_sequence = Datagram::nextSequence(m_sequence);
    const QByteArray datagram =
        Datagram::command(type, m_sequence, name, QByteArray::fromRawData(payload, payloadLength));
    const qint64 sentNs = m_clock.nsecsElapsed(); // a loopback reply can beat send()'s return
    if (!transmit(datagram, name))
        return false;
    if (type == CmdNotice) {
        emit noticeSent(name, m_sequence);
    } else if (qstrcmp(name, CommandName::Ping) != 0) {
        m_request = datagram;
        m_requestSentNs = sentNs;
    }
    return true;
}

bool DeviceSession::transmit(const QByteArray &datagram, const char *name)
{
    bool refused = false;
    QString error;
    if (!datagram.isEmpty() &&
        m_socket.send(datagram.constData(), datagram.size(), &refused, &error)) {
        qCDebug(lcLink).noquote() << m_device.label() << "out"
                                  << Logging::describeCommand(datagram.constData(),
                                                              datagram.size());
        m_bytesSent += datagram.size();
        return true;
    }
    if (m_operation == Operation::Watch) // a board not (yet) there; the next Ping asks again
        return false;
    if (refused)
        finish(Result::NothingListens,
               QStringLiteral("nothing listens at %1").arg(m_device.label()));
    else // the window would not notice; a tool on a production line should not wait 12 s for it
        finish(Result::LinkLost,
               QStringLiteral("cannot send %1: %2").arg(QLatin1String(name), error));
    return false;
}

void DeviceSession::onSilence(Result result, const QString &detail)
{
    if (!m_heard)
        finish(Result::NoAnswer,
               QStringLiteral("no answer from %1 (check the address and port, that the device "
                              "is in its bootloader, and that no firewall drops UDP)")
                   .arg(m_device.label()));
    else
        finish(result, detail);
}

void DeviceSession::setPercent(int percent)
{
    if (percent == m_percent)
        return;
    m_percent = percent;
    emit progressChanged(percent);
}

void DeviceSession::finish(Result result, const QString &detail)
{
    if (m_stage == Stage::Done)
        return;
    m_stage = Stage::Done;
    m_result = result;
    m_detail = detail;
    qCDebug(lcFlash).noquote() << m_device.label() << "finished:" << detail;
    m_elapsedMs = m_clock.elapsed();
    m_pingTimer.stop();
    m_linkTimer.stop();
    m_keepAliveTimer.stop();
    m_replyTimer.stop();
    m_retryTimer.stop();
    m_socket.close();
    emit finished();
}
