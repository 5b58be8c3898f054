#include "cli/devicesession.h"

#include "core/deviceendpoint.h"
#include "core/protocol.h"

namespace {

const char *const PingName = CommandName::Ping;

QString hexStatus(quint8 status)
{
    return QStringLiteral("0x%1").arg(status, 2, 16, QLatin1Char('0'));
}

QString seconds(int ms)
{
    return QString::number(ms / 1000.0, 'g', 6) + QStringLiteral(" s");
}

} // namespace

DeviceSession::DeviceSession(const DeviceTarget &device, Operation operation,
                             const QByteArray &image, int replyTimeoutMs, QObject *parent)
    : QObject(parent), m_device(device), m_operation(operation), m_image(image),
      m_replyTimeoutMs(replyTimeoutMs)
{
    m_pingTimer.setInterval(PingIntervalMs);
    m_linkTimer.setInterval(LinkTimeoutMs);
    m_linkTimer.setSingleShot(true);
    m_keepAliveTimer.setInterval(replyTimeoutMs);
    m_keepAliveTimer.setSingleShot(true);
    m_replyTimer.setInterval(replyTimeoutMs);
    m_replyTimer.setSingleShot(true);

    connect(&m_socket, &QUdpSocket::readyRead, this, &DeviceSession::readReplies);
    connect(&m_pingTimer, &QTimer::timeout, this, [this] { sendPing(false); });
    connect(&m_linkTimer, &QTimer::timeout, this,
            [this] { finish(Result::LinkLost, QStringLiteral("no keep-alive answer for 12 s")); });
    connect(&m_keepAliveTimer, &QTimer::timeout, this, [this] {
        finish(Result::TimedOut, QStringLiteral("no keep-alive answer to Ping within %1")
                                     .arg(seconds(m_replyTimeoutMs)));
    });
    connect(&m_replyTimer, &QTimer::timeout, this, [this] {
        finish(Result::TimedOut, QStringLiteral("no reply to %1 (sequence %2) within %3")
                                     .arg(QLatin1String(m_requestName))
                                     .arg(m_sequence)
                                     .arg(seconds(m_replyTimeoutMs)));
    });
}

void DeviceSession::start()
{
    m_clock.start();
    m_stage = Stage::Connecting;
    sendPing(true); // the first Ping advances the counter, the periodic ones repeat it
    if (m_stage == Stage::Done)
        return;
    m_linkTimer.start();
    m_pingTimer.start();
}

void DeviceSession::readReplies()
{
    char buffer[DatagramBufferSize];
    while (m_stage != Stage::Done && m_socket.hasPendingDatagrams()) {
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 length = m_socket.readDatagram(buffer, sizeof buffer, &sender, &senderPort);
        // Anyone can send to our port: only the device's own replies count.
        if (sameEndpoint(m_device.address, m_device.port, sender, senderPort))
            handleReply(buffer, length);
    }
}

void DeviceSession::handleReply(const char *data, qint64 length)
{
    const quint8 status = length > ReplyStatusOffset ? quint8(data[ReplyStatusOffset]) : 0;
    switch (Datagram::classifyReply(data, length, m_sequence)) {
    case Datagram::ReplyKind::Nothing:
        break;
    case Datagram::ReplyKind::KeepAlive:
        onKeepAlive();
        break;
    case Datagram::ReplyKind::SequenceMismatch: {
        const quint8 echoed = length > ReplySequenceOffset ? quint8(data[ReplySequenceOffset]) : 0;
        const quint8 expected = m_sequence;
        // As the window does: tell the device that whatever it was doing is over.
        sendEndNotice();
        finish(Result::SequenceMismatch,
               QStringLiteral("a reply echoed sequence %1, expected %2; End notice sent")
                   .arg(echoed)
                   .arg(expected));
        break;
    }
    case Datagram::ReplyKind::Success:
        onVerdict(true, status);
        break;
    case Datagram::ReplyKind::Failure:
        onVerdict(false, status);
        break;
    }
}

void DeviceSession::onKeepAlive()
{
    m_linkTimer.start();
    m_keepAliveTimer.stop();
    emit commandAnswered(PingName, m_sequence, Datagram::ReplyKind::KeepAlive, KeepAliveCode,
                         (m_clock.nsecsElapsed() - m_pingSentNs) / 1000);
    if (m_stage == Stage::Connecting)
        beginOperation();
}

void DeviceSession::onVerdict(bool success, quint8 status)
{
    if (m_stage == Stage::Connecting) {
        // Nothing was asked: the window answers such a reply with an "End" notice, and so do we.
        sendEndNotice();
        return;
    }
    m_replyTimer.stop();
    emit commandAnswered(m_requestName, m_sequence,
                         success ? Datagram::ReplyKind::Success : Datagram::ReplyKind::Failure,
                         status, (m_clock.nsecsElapsed() - m_requestSentNs) / 1000);
    if (m_uploadStage == StageWriting) // the reply to "Start" leaves the progress at 0
        setPercent(FlashProcedure::percent(m_offset, m_image.size()));
    const FlashProcedure::Step step =
        FlashProcedure::onReply(m_uploadStage, success, m_offset, m_image.size());
    m_uploadStage = step.stage;
    switch (step.action) {
    case FlashProcedure::Action::Wait:
        break;
    case FlashProcedure::Action::SendBlock: {
        const int length = FlashProcedure::blockLength(m_offset, m_image.size());
        sendRequest(CommandName::Write, m_image.constData() + m_offset, length);
        m_offset += quint32(length);
        break;
    }
    case FlashProcedure::Action::SendEnd:
        sendRequest(CommandName::End);
        break;
    case FlashProcedure::Action::Finish: {
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

void DeviceSession::beginOperation()
{
    m_stage = Stage::Busy;
    switch (m_operation) {
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
    }
}

void DeviceSession::sendEndNotice()
{
    if (m_endNotices.tryTake())
        send(CmdNotice, CommandName::End, nullptr, 0, true);
}

void DeviceSession::sendPing(bool advance)
{
    if (!send(CmdRequest, PingName, nullptr, 0, advance))
        return;
    m_pingSentNs = m_clock.nsecsElapsed();
    // The oldest unanswered Ping sets the limit, so a device that never answers pings
    // cannot hide behind the next one.
    if (!m_keepAliveTimer.isActive())
        m_keepAliveTimer.start();
}

void DeviceSession::sendRequest(const char *name, const char *payload, int payloadLength)
{
    m_requestName = name;
    if (!send(CmdRequest, name, payload, payloadLength, true))
        return;
    m_requestSentNs = m_clock.nsecsElapsed();
    m_replyTimer.start();
}

bool DeviceSession::send(quint8 type, const char *name, const char *payload, int payloadLength,
                         bool advance)
{
    if (advance)
        m_sequence = Datagram::nextSequence(m_sequence);
    char buffer[DatagramBufferSize];
    const int length =
        Datagram::buildCommand(buffer, type, m_sequence, name, payload, payloadLength);
    if (m_socket.writeDatagram(buffer, length, m_device.address, m_device.port) == length) {
        if (type == CmdNotice)
            emit noticeSent(name, m_sequence);
        return true;
    }
    // The window would not notice; a tool on a production line should not wait 12 s for it.
    finish(Result::LinkLost,
           QStringLiteral("cannot send %1: %2").arg(QLatin1String(name), m_socket.errorString()));
    return false;
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
    m_elapsedMs = m_clock.elapsed();
    m_pingTimer.stop();
    m_linkTimer.stop();
    m_keepAliveTimer.stop();
    m_replyTimer.stop();
    m_socket.close();
    emit finished();
}
