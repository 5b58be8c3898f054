#pragma once

#include "core/protocol.h"

#include <QByteArray>
#include <optional>

namespace Datagram {

// Advances a sequence counter: 0 -> 1 ... 255 -> 1; 0 is never produced.
quint8 nextSequence(quint8 sequence);

// Lays a command out in `buffer` (DatagramBufferSize bytes, zeroed by the caller) and
// returns its length: type, sequence, name length, name, payload. Returns -1 when the
// name or payload would not fit, so nothing truncated is ever sent.
int buildCommand(char *buffer, quint8 type, quint8 sequence, const char *name, const char *payload,
                 int payloadLength);

// Convenience form for tools that do not keep a reusable buffer.
QByteArray command(quint8 type, quint8 sequence, const char *name,
                   const QByteArray &payload = QByteArray());

enum class ReplyKind {
    Nothing,          // empty or failed read
    KeepAlive,        // status 0x73, whatever the sequence byte
    SequenceMismatch, // not a keep-alive and not echoing the expected sequence
    Success,          // echoes the sequence, status 0xAC
    Failure,          // echoes the sequence, any other status
};

// Byte `offset` of a reply of `length` bytes; bytes past the length read as 0, as in the zeroed
// receive buffer.
quint8 replyByte(const char *data, qint64 length, int offset);

// Classifies a reply the way the tool reads it: bytes past `length` count as 0, as in
// the zeroed receive buffer. The keep-alive test comes before the sequence test.
ReplyKind classifyReply(const char *data, qint64 length, quint8 expectedSequence);

struct ParsedCommand
{
    quint8 type = 0;
    quint8 sequence = 0;
    QByteArray name;
    QByteArray payload;
};

// Parses a command as a device would; nullopt when too short or the name runs past the end.
std::optional<ParsedCommand> parseCommand(const char *data, qint64 length);

} // namespace Datagram
