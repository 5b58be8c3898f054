#include "sim/devicesimulator.h"

#include "core/firmwareimage.h"
#include "core/postbuildfile.h"

#include <cstdio>

namespace {

constexpr int ReceiveBufferSize = 65536;
// Replies waiting for their device time; a flood with a long --delay-ms must not grow the
// simulator without bound.
constexpr int MostPendingReplies = 4096;
constexpr int LoggedNameLimit = 40;

// Command names come off the wire: show them without letting control bytes reach a terminal.
QString printable(const QByteArray &name)
{
    QString text;
    for (const char c : name.left(LoggedNameLimit)) {
        const auto byte = quint8(c);
        text += byte >= 0x20 && byte < 0x7F ? QString(QChar(byte))
                                            : QStringLiteral("\\x%1").arg(byte, 2, 16, QChar('0'));
    }
    if (name.size() > LoggedNameLimit)
        text += QStringLiteral("...");
    return text.isEmpty() ? QStringLiteral("\"\"") : text;
}

QString hexByte(quint8 byte)
{
    return QStringLiteral("0x") + QString::number(byte, 16).rightJustified(2, QChar('0')).toUpper();
}

bool isNth(int count, int period)
{
    return period > 0 && count % period == 0;
}

} // namespace

DeviceSimulator::DeviceSimulator(SimulatorSettings settings, QObject *parent)
    : QObject(parent), m_settings(std::move(settings)),
      m_replies(m_clock, [this](const PendingReply &reply) { releaseReply(reply); }),
      m_receiveBuffer(ReceiveBufferSize, 0)
{
    connect(&m_socket, &QUdpSocket::readyRead, this, &DeviceSimulator::readOneDatagram);
    m_boardAway.setSingleShot(true);
    connect(&m_boardAway, &QTimer::timeout, this, &DeviceSimulator::swapBoard);
}

bool DeviceSimulator::listen(QString *error)
{
    if (!m_socket.bind(m_settings.bindAddress, m_settings.port)) {
        *error = m_socket.errorString();
        return false;
    }
    m_clock.start();
    return true;
}

QString DeviceSimulator::summary() const
{
    return QStringLiteral("%1 datagrams received, %2 bad, %3 replies sent, %4 dropped")
        .arg(m_datagrams)
        .arg(m_badDatagrams)
        .arg(m_repliesSent)
        .arg(m_repliesDropped);
}

void DeviceSimulator::readOneDatagram()
{
    // One datagram per notification: reading re-arms the notifier for the next one.
    QHostAddress sender;
    quint16 senderPort = 0;
    const qint64 length =
        m_socket.readDatagram(m_receiveBuffer.data(), m_receiveBuffer.size(), &sender, &senderPort);
    if (length < 0)
        return;
    handle(m_receiveBuffer.constData(), length, sender, senderPort);
}

std::optional<Datagram::ParsedCommand> DeviceSimulator::accept(const char *data, qint64 length)
{
    std::optional<Datagram::ParsedCommand> parsed = Datagram::parseCommand(data, length);
    if (!parsed) {
        rejectDatagram(length, length < CommandHeaderSize ? "too short" : "name runs past the end");
        return std::nullopt;
    }
    if (parsed->type != CmdNotice && parsed->type != CmdRequest) {
        rejectDatagram(length, "unknown type");
        return std::nullopt;
    }
    if (m_boardAway.isActive()) { // in its application: the bootloader hears nothing
        log([&] {
            return QStringLiteral("<- %1 ignored: board %2 away")
                .arg(printable(parsed->name), QString::number(m_board));
        });
        return std::nullopt;
    }
    return parsed;
}

DeviceSimulator::Answer DeviceSimulator::answer(SimCommand command,
                                                const Datagram::ParsedCommand &parsed,
                                                qint64 receivedNs)
{
    const bool isRequest = parsed.type == CmdRequest;
    Answer answer;
    // Nothing answers a notice; of them only End has an effect.
    const bool abandoned = !isRequest && command == SimCommand::End && m_flash.abandon();
    // A request repeated with the sequence and name of the last one answered is a
    // retransmission: answered again, not carried out twice.
    const bool repeat = isRequest && command != SimCommand::Ping && m_lastAnswered &&
                        m_lastAnswered->sequence == parsed.sequence &&
                        m_lastAnswered->name == parsed.name;
    // One that comes while the request is still being carried out gets the answer due then.
    const bool inProgress = repeat && receivedNs < m_lastAnswered->doneNs;
    if (repeat && !inProgress)
        answer.status = m_lastAnswered->status;
    else if (isRequest && !repeat)
        answer.status = carryOut(command, parsed);
    // A repeat answered again erases nothing: it takes the device time of any reply.
    const int deviceTime =
        m_settings.delayMs + (command == SimCommand::Start && !repeat ? m_settings.eraseMs : 0);
    answer.dueNs = receivedNs + qint64(deviceTime) * 1000000;
    if (isRequest && command != SimCommand::Ping && answer.status && !repeat)
        m_lastAnswered =
            AnsweredRequest{parsed.sequence, parsed.name, answer.status.value_or(0), answer.dueNs};
    answer.note = command == SimCommand::Unknown ? " (unknown name)"
                  : abandoned                    ? " (upload abandoned)"
                  : inProgress                   ? " (repeat, answered when done)"
                  : repeat                       ? " (repeat, answered again)"
                  : isRequest && !answer.status  ? " (unanswered)"
                                                 : "";
    return answer;
}

void DeviceSimulator::handle(const char *data, qint64 length, const QHostAddress &sender,
                             quint16 senderPort)
{
    const qint64 receivedNs = m_clock.nsecsElapsed();
    ++m_datagrams;
    const std::optional<Datagram::ParsedCommand> parsed = accept(data, length);
    if (!parsed)
        return;
    const SimCommand command = simCommandFromName(parsed->name);
    if (command == SimCommand::StartApplication && m_settings.swapMs >= 0)
        m_boardAway.start(m_settings.swapMs);
    if (command == SimCommand::Unknown)
        ++m_badDatagrams;
    const Answer answer = this->answer(command, *parsed, receivedNs);
    log([&] {
        return QStringLiteral("<- %1 %2 seq=%3 len=%4%5")
            .arg(parsed->type == CmdRequest ? QStringLiteral("request") : QStringLiteral("notice"),
                 printable(parsed->name), QString::number(parsed->sequence),
                 QString::number(length), QLatin1String(answer.note));
    });
    if (!answer.status)
        return;
    if (m_replies.size() >= MostPendingReplies) {
        ++m_repliesDropped;
        return;
    }
    PendingReply reply;
    reply.dueNs = answer.dueNs;
    reply.receivedNs = receivedNs;
    reply.bytes = simReply(command, parsed->sequence, answer.status.value_or(0));
    reply.commandName = parsed->name;
    reply.address = sender;
    reply.port = senderPort;
    m_replies.enqueue(std::move(reply));
}

std::optional<quint8> DeviceSimulator::carryOut(SimCommand command,
                                                const Datagram::ParsedCommand &parsed)
{
    if (command == SimCommand::StartApplication)
        return std::nullopt;
    if (command == SimCommand::Ping && m_settings.silentAfterMs >= 0 &&
        m_clock.elapsed() >= m_settings.silentAfterMs)
        return std::nullopt;
    if (command == SimCommand::Unknown)
        return SimStatus::UnknownCommand;
    if (m_settings.failCommands.contains(parsed.name))
        return SimStatus::ForcedFailure;

    switch (command) {
    case SimCommand::Ping:
        return KeepAliveCode;
    case SimCommand::Start:
        return m_flash.erase();
    case SimCommand::Write:
        return m_flash.write(parsed.payload);
    case SimCommand::End:
        return endUpload();
    case SimCommand::Check:
        return m_flash.check();
    case SimCommand::StartApplication:
    case SimCommand::Unknown:
        break;
    }
    return std::nullopt;
}

quint8 DeviceSimulator::endUpload()
{
    // Saved whatever the verdict, so a failed upload can be looked at byte by byte.
    if (!m_settings.savePath.isEmpty() &&
        !writeFileAtomically(m_settings.savePath, m_flash.contents()))
        warn(QStringLiteral("cannot save the received image to %1").arg(m_settings.savePath));
    return m_flash.end();
}

void DeviceSimulator::swapBoard()
{
    // The operator put a new board in the slot: blank flash, no upload, no sequence heard.
    m_flash = SimulatedFlash();
    m_lastAnswered.reset();
    ++m_board;
    if (!m_settings.quiet)
        std::fprintf(stderr, "bootloader-sim: board %d in the slot (blank)\n", m_board);
}

void DeviceSimulator::releaseReply(const PendingReply &reply)
{
    const int count = ++m_repliesReleased;
    const bool answer = reply.commandName != CommandName::Ping;
    if (isNth(count, m_settings.dropEvery) ||
        (answer && ++m_answersReleased == m_settings.dropAnswer)) {
        ++m_repliesDropped;
        log([&] {
            return QStringLiteral("-x %1 seq=%2 status=%3 dropped after %4")
                .arg(printable(reply.commandName))
                .arg(quint8(reply.bytes.at(ReplySequenceOffset)))
                .arg(hexByte(quint8(reply.bytes.at(ReplyStatusOffset))), roundTrip(reply));
        });
        return;
    }
    QByteArray bytes = reply.bytes;
    const bool wrongSequence = isNth(count, m_settings.wrongSequenceEvery);
    if (wrongSequence)
        bytes[ReplySequenceOffset] = char(quint8(bytes.at(ReplySequenceOffset)) + 1);
    transmit(bytes, reply, wrongSequence ? " (wrong sequence)" : "");
    if (isNth(count, m_settings.duplicateEvery))
        transmit(bytes, reply, wrongSequence ? " (wrong sequence, duplicate)" : " (duplicate)");
}

void DeviceSimulator::transmit(const QByteArray &bytes, const PendingReply &reply, const char *note)
{
    if (m_socket.writeDatagram(bytes, reply.address, reply.port) != bytes.size()) {
        warn(QStringLiteral("cannot send a reply to %1:%2: %3")
                 .arg(reply.address.toString())
                 .arg(reply.port)
                 .arg(m_socket.errorString()));
        return;
    }
    ++m_repliesSent;
    log([&] {
        return QStringLiteral("-> %1 seq=%2 len=%3 status=%4 rtt=%5%6")
            .arg(printable(reply.commandName))
            .arg(quint8(bytes.at(ReplySequenceOffset)))
            .arg(bytes.size())
            .arg(hexByte(quint8(bytes.at(ReplyStatusOffset))), roundTrip(reply),
                 QLatin1String(note));
    });
}

void DeviceSimulator::rejectDatagram(qint64 length, const char *reason)
{
    ++m_badDatagrams;
    log([&] {
        return QStringLiteral("<- bad datagram len=%1 ignored: %2")
            .arg(length)
            .arg(QLatin1String(reason));
    });
}

QString DeviceSimulator::roundTrip(const PendingReply &reply) const
{
    const double ms = double(m_clock.nsecsElapsed() - reply.receivedNs) / 1e6;
    return QStringLiteral("%1 ms").arg(ms, 0, 'f', 3);
}

void DeviceSimulator::warn(const QString &line) const
{
    if (!m_settings.quiet)
        std::fprintf(stderr, "bootloader-sim: %s\n", qPrintable(line));
}
