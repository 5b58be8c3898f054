#include "core/datagram.h"

#include <cstring>

namespace Datagram {

quint8 nextSequence(quint8 sequence)
{
    return sequence == 255 ? 1 : quint8(sequence + 1);
}

int buildCommand(char *buffer, quint8 type, quint8 sequence, const char *name, const char *payload,
                 int payloadLength)
{
    const size_t nameLength = std::strlen(name);
    if (nameLength > 255)
        return -1;
    const int headerAndName = CommandHeaderSize + int(nameLength);
    const int payloadBytes = (payload && payloadLength > 0) ? payloadLength : 0;
    if (headerAndName + payloadBytes > DatagramBufferSize)
        return -1;

    buffer[0] = char(type);
    buffer[1] = char(sequence);
    buffer[2] = char(nameLength);
    std::memcpy(buffer + CommandHeaderSize, name, nameLength);
    if (payloadBytes > 0)
        std::memcpy(buffer + headerAndName, payload, size_t(payloadBytes));
    return headerAndName + payloadBytes;
}

QByteArray command(quint8 type, quint8 sequence, const char *name, const QByteArray &payload)
{
    char buffer[DatagramBufferSize] = {};
    const int length =
        buildCommand(buffer, type, sequence, name, payload.constData(), payload.size());
    return length < 0 ? QByteArray() : QByteArray(buffer, length);
}

quint8 replyByte(const char *data, qint64 length, int offset)
{
    return offset < length ? quint8(data[offset]) : 0;
}

ReplyKind classifyReply(const char *data, qint64 length, quint8 expectedSequence)
{
    if (length <= 0)
        return ReplyKind::Nothing;
    const quint8 status = replyByte(data, length, ReplyStatusOffset);
    if (status == KeepAliveCode)
        return ReplyKind::KeepAlive;
    if (replyByte(data, length, ReplySequenceOffset) != expectedSequence)
        return ReplyKind::SequenceMismatch;
    return status == ReplyOkCode ? ReplyKind::Success : ReplyKind::Failure;
}

std::optional<ParsedCommand> parseCommand(const char *data, qint64 length)
{
    if (!data || length < CommandHeaderSize)
        return std::nullopt;
    const int nameLength = quint8(data[2]);
    if (CommandHeaderSize + nameLength > length)
        return std::nullopt;
    ParsedCommand parsed;
    parsed.type = quint8(data[0]);
    parsed.sequence = quint8(data[1]);
    parsed.name = QByteArray(data + CommandHeaderSize, nameLength);
    const qint64 payloadStart = CommandHeaderSize + nameLength;
    parsed.payload = QByteArray(data + payloadStart, int(length - payloadStart));
    return parsed;
}

} // namespace Datagram
