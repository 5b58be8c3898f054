#include "support/fakedevice.h"

FakeDevice::FakeDevice()
{
    socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
    connect(&socket, &QUdpSocket::readyRead, this, &FakeDevice::read);
}

QByteArray replyBytes(quint8 sequence, quint8 status)
{
    QByteArray bytes(4, 0);
    bytes[0] = char(0x55);
    bytes[1] = char(sequence);
    bytes[3] = char(status);
    return bytes;
}

QVector<Datagram::ParsedCommand> FakeDevice::commands(const QByteArray &name) const
{
    QVector<Datagram::ParsedCommand> result;
    for (const QByteArray &bytes : received) {
        const auto parsed = Datagram::parseCommand(bytes.constData(), bytes.size());
        if (parsed && (name.isEmpty() || parsed->name == name))
            result.append(*parsed);
    }
    return result;
}

Datagram::ParsedCommand FakeDevice::last() const
{
    const auto all = commands();
    return all.isEmpty() ? Datagram::ParsedCommand() : all.last();
}

void FakeDevice::sendToTool(const QByteArray &bytes)
{
    if (toolPort != 0)
        socket.writeDatagram(bytes, toolAddress, toolPort);
}

void FakeDevice::reply(quint8 sequence, quint8 status)
{
    sendToTool(replyBytes(sequence, status));
}

void FakeDevice::read()
{
    while (socket.hasPendingDatagrams()) {
        QByteArray bytes(int(socket.pendingDatagramSize()), 0);
        QHostAddress from;
        quint16 fromPort = 0;
        bytes.resize(int(socket.readDatagram(bytes.data(), bytes.size(), &from, &fromPort)));
        // Only the window on this machine talks to us; answer it on loopback whatever it bound.
        toolAddress = QHostAddress::LocalHost;
        toolPort = fromPort;
        received.append(bytes);
        const auto parsed = Datagram::parseCommand(bytes.constData(), bytes.size());
        if (parsed && parsed->type == CmdRequest) {
            if (parsed->name == "Ping") {
                if (answerPings)
                    reply(parsed->sequence, KeepAliveCode);
            } else if (answerRequests) {
                reply(parsed->sequence, statusFor.value(parsed->name, ReplyOkCode));
            }
        }
        emit datagramReceived();
    }
}
