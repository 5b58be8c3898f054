// Commands, replies, and the tool and the simulator reading each other. Input: a sequence, a
// type and status, then a reply that is also a command name up to a NUL byte and a payload.
#include "fuzzcheck.h"

#include "core/datagram.h"
#include "sim/simwire.h"

#include <cstdint>
#include <cstring>
#include <vector>

using Datagram::ReplyKind;

static void checkReply(const char *reply, int length, quint8 expected)
{
    const ReplyKind kind = Datagram::classifyReply(reply, length, expected);
    FUZZ_CHECK(Datagram::classifyReply(reply, -length, expected) == ReplyKind::Nothing); // <= 0
    // Bytes past the end read as 0, as in the zeroed receive buffer.
    char padded[ReplyStatusOffset + 1] = {};
    std::memcpy(padded, reply, size_t(qMin(length, int(sizeof padded))));
    if (length > 0 && quint8(padded[ReplyStatusOffset]) == KeepAliveCode)
        FUZZ_CHECK(kind == ReplyKind::KeepAlive);
    else if (length > 0 && quint8(padded[ReplySequenceOffset]) != expected)
        FUZZ_CHECK(kind == ReplyKind::SequenceMismatch);
}

static void checkRoundTrip(quint8 type, quint8 sequence, const QByteArray &name,
                           const char *payload, int payloadLength)
{
    std::vector<char> buffer(DatagramBufferSize); // exactly its size, so ASan sees overruns
    const int length = Datagram::buildCommand(buffer.data(), type, sequence, name.constData(),
                                              payload, payloadLength);
    const int wanted = CommandHeaderSize + int(name.size()) + payloadLength;
    FUZZ_CHECK(length == (name.size() <= 255 && wanted <= DatagramBufferSize ? wanted : -1));
    const auto parsed = Datagram::parseCommand(buffer.data(), length);
    FUZZ_CHECK(length < 0 ||
               (parsed && parsed->type == type && parsed->sequence == sequence &&
                parsed->name == name && parsed->payload == QByteArray(payload, payloadLength)));
}

// A command the tool sends is the one the simulator carries out; a reply the simulator sends
// reads on the tool's side as the status it carries.
static void checkAgreement(quint8 sequence, quint8 status, const QByteArray &payload)
{
    const char *const names[] = {CommandName::Ping,  CommandName::Start,
                                 CommandName::Write, CommandName::End,
                                 CommandName::Check, CommandName::StartApplication};
    for (int i = 0; i < 6; ++i) {
        const auto command = SimCommand(i + 1); // the simulator numbers them in this order
        const QByteArray bytes = Datagram::command(CmdRequest, sequence, names[i], payload);
        const auto parsed = Datagram::parseCommand(bytes.constData(), bytes.size());
        FUZZ_CHECK(bytes.isEmpty() || (parsed && simCommandFromName(parsed->name) == command &&
                                       parsed->payload == payload));
        const QByteArray reply = simReply(command, sequence, status);
        FUZZ_CHECK(Datagram::classifyReply(reply.constData(), reply.size(), sequence) ==
                   (status == KeepAliveCode ? ReplyKind::KeepAlive
                    : status == ReplyOkCode ? ReplyKind::Success
                                            : ReplyKind::Failure));
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const char *rest = reinterpret_cast<const char *>(data + 2);
    const int restLength = int(size - 2);
    checkReply(rest, restLength, data[0]);
    const QByteArray name(rest, int(qstrnlen(rest, uint(restLength))));
    const int payloadAt = qMin(int(name.size()) + 1, restLength);
    checkRoundTrip(data[1], data[0], name, rest + payloadAt, restLength - payloadAt);
    checkAgreement(data[0], data[1], QByteArray(rest + payloadAt, restLength - payloadAt));
    return 0;
}
