#include "cli/devicesession.h"

#include "image/firmwareimage.h"
#include "link/linkstate.h"
#include "link/protocol.h"

namespace {

const char *const PingName = "Ping";

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
        const qint64 length = m_socket.readDatagram(buffer, sizeof buffer);
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
        send(CmdNotice, "End", nullptr, 0, true);
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
        send(CmdNotice, "End", nullptr, 0, true);
        return;
    }
    m_replyTimer.stop();
    emit commandAnswered(m_requestName, m_sequence,
                         success ? Datagram::ReplyKind::Success : Datagram::ReplyKind::Failure,
                         status, (m_clock.nsecsElapsed() - m_requestSentNs) / 1000);
    const QString refusal =
        QStringLiteral(" (%1 answered %2)").arg(QLatin1String(m_requestName), hexStatus(status));
    switch (m_stage) {
    case Stage::Erasing:
    case Stage::Writing:
        if (success)
            sendNextBlock();
        else
            finish(Result::Refused, QStringLiteral("Uploaded with error :(") + refusal);
        break;
    case Stage::Finishing:
        if (success)
            finish(Result::Succeeded, QStringLiteral("Uploading has been completed successful!"));
        else
            finish(Result::Refused, QStringLiteral("Uploaded with error :(") + refusal);
        break;
    case Stage::Checking:
        if (success)
            finish(Result::Succeeded, QStringLiteral("Checked successful!"));
        else
            finish(Result::Refused, QStringLiteral("Application is wrong!") + refusal);
        break;
    case Stage::Idle:
    case Stage::Connecting:
    case Stage::Done:
        break;
    }
}

void DeviceSession::beginOperation()
{
    switch (m_operation) {
    case Operation::Upload:
        m_offset = 0;
        m_stage = Stage::Erasing;
        sendRequest("Start");
        break;
    case Operation::Check:
        m_stage = Stage::Checking;
        sendRequest("Check");
        break;
    case Operation::StartApplication:
        if (send(CmdNotice, "StartApplication", nullptr, 0, true))
            finish(Result::Succeeded, QStringLiteral("Application should be started."));
        break;
    }
}

void DeviceSession::sendNextBlock()
{
    const int size = m_image.size();
    if (m_stage == Stage::Writing) // the reply to "Start" leaves the progress at 0
        setPercent(m_offset == size ? 100 : int(quint32(m_offset) * 100 / quint32(size)));
    const int remaining = size - m_offset;
    if (remaining > 0) {
        const int length = qMin(remaining, WriteBlockSize);
        m_stage = Stage::Writing;
        sendRequest("Write", m_image.constData() + m_offset, length);
        m_offset += length;
    } else {
        m_stage = Stage::Finishing;
        sendRequest("End");
    }
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
