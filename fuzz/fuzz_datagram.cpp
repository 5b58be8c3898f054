// Replies and commands from arbitrary bytes. Input: byte 0 is the sequence the tool expects,
// the rest is the datagram.
#include "fuzzcheck.h"

#include "core/datagram.h"
#include "core/deviceendpoint.h"

#include <QString>
#include <cstdint>
#include <cstring>
#include <memory>

using Datagram::ReplyKind;

namespace {

// How the tool must read a reply: bytes past the end count as 0, keep-alive before sequence.
ReplyKind expectedKind(const quint8 *reply, size_t length, quint8 expectedSequence)
{
    if (length == 0)
        return ReplyKind::Nothing;
    const quint8 sequence = length > ReplySequenceOffset ? reply[ReplySequenceOffset] : 0;
    const quint8 status = length > ReplyStatusOffset ? reply[ReplyStatusOffset] : 0;
    if (status == KeepAliveCode)
        return ReplyKind::KeepAlive;
    if (sequence != expectedSequence)
        return ReplyKind::SequenceMismatch;
    return status == ReplyOkCode ? ReplyKind::Success : ReplyKind::Failure;
}

void classify(const quint8 *bytes, size_t length, quint8 expectedSequence)
{
    const auto *data = reinterpret_cast<const char *>(bytes);
    const ReplyKind kind = Datagram::classifyReply(data, qint64(length), expectedSequence);
    FUZZ_CHECK(kind == expectedKind(bytes, length, expectedSequence));
    // A short reply reads like the same bytes in the zeroed receive buffer.
    if (length > 0 && length <= ReplyStatusOffset) {
        char padded[ReplyStatusOffset + 1] = {};
        std::memcpy(padded, data, length);
        FUZZ_CHECK(Datagram::classifyReply(padded, sizeof padded, expectedSequence) == kind);
    }
}

void parseAndRebuild(const quint8 *bytes, size_t length)
{
    const auto *data = reinterpret_cast<const char *>(bytes);
    const auto parsed = Datagram::parseCommand(data, qint64(length));
    const bool complete =
        length >= size_t(CommandHeaderSize) && CommandHeaderSize + size_t(bytes[2]) <= length;
    FUZZ_CHECK(parsed.has_value() == complete);
    if (!parsed)
        return;
    const int nameLength = bytes[2];
    FUZZ_CHECK(parsed->type == bytes[0] && parsed->sequence == bytes[1]);
    FUZZ_CHECK(parsed->name == QByteArray(data + CommandHeaderSize, nameLength));
    FUZZ_CHECK(parsed->payload == QByteArray(data + CommandHeaderSize + nameLength,
                                             int(length) - CommandHeaderSize - nameLength));

    // Names travel as C strings: only a name without NUL bytes can come back unchanged.
    if (parsed->name.contains('\0'))
        return;
    // Exactly the buffer's size on the heap, so a write past it is caught.
    const std::unique_ptr<char[]> buffer(new char[DatagramBufferSize]());
    const int built = Datagram::buildCommand(buffer.get(), parsed->type, parsed->sequence,
                                             parsed->name.constData(), parsed->payload.constData(),
                                             parsed->payload.size());
    const QByteArray viaCommand = Datagram::command(parsed->type, parsed->sequence,
                                                    parsed->name.constData(), parsed->payload);
    if (length > size_t(DatagramBufferSize)) {
        FUZZ_CHECK(built == -1 && viaCommand.isEmpty());
        return;
    }
    FUZZ_CHECK(built == int(length) && std::memcmp(buffer.get(), data, length) == 0);
    FUZZ_CHECK(viaCommand == QByteArray(data, int(length)));
}

void portText(const quint8 *bytes, size_t length)
{
    // Any text typed into the port field.
    if (length <= 32) {
        const auto *data = reinterpret_cast<const char *>(bytes);
        const int port = parsePortText(QString::fromLatin1(data, int(length)));
        FUZZ_CHECK(port >= -1 && port <= 65535);
        bool digitsOnly = length > 0 && length <= 9;
        long value = 0;
        for (size_t i = 0; digitsOnly && i < length; ++i) {
            digitsOnly = bytes[i] >= '0' && bytes[i] <= '9';
            value = value * 10 + (bytes[i] - '0');
        }
        if (digitsOnly)
            FUZZ_CHECK(port == (value <= 65535 ? int(value) : -1));
    }
    // Any number written out, so the range ends are reached from the bytes of the number.
    if (length >= 4) {
        qint32 number = 0;
        std::memcpy(&number, bytes, sizeof number);
        FUZZ_CHECK(parsePortText(QString::number(number)) ==
                   (number >= 0 && number <= 65535 ? int(number) : -1));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    classify(data + 1, size - 1, data[0]);
    parseAndRebuild(data + 1, size - 1);
    portText(data + 1, size - 1);
    return 0;
}
