// The simulated bootloader's command handling, without a socket, against a model of what the
// flash must hold.
//
// Input: records, each a big-endian 16-bit header and what it announces.
//   0LLL LLLL LLLL LLLL  a datagram of L & 0x7FF bytes follows (cut short by the input's end)
//   1000 NNNN NNNN NNNN  N Write requests of 512 bytes of 0xFF
//   1xxx FFFF FFRR RRRR  (xxx not 000) Start, then a whole valid image built from the R
//                        bytes that follow, in 512-byte Write requests; F > 0 flips one
//                        byte of it on the way
#include "fuzzcheck.h"

#include "core/crc32.h"
#include "core/firmwareimage.h"
#include "core/datagram.h"
#include "sim/simulatedflash.h"
#include "sim/simwire.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

constexpr int MaxRecords = 32;      // a Check of a full image costs a checksum: bound the work
constexpr int MaxFillBlocks = 4096; // per input, enough to overrun one image twice

SimCommand commandNamed(const QByteArray &name)
{
    static const struct
    {
        const char *name;
        SimCommand command;
    } names[] = {{"Ping", SimCommand::Ping},   {"Start", SimCommand::Start},
                 {"Write", SimCommand::Write}, {"End", SimCommand::End},
                 {"Check", SimCommand::Check}, {"StartApplication", SimCommand::StartApplication}};
    for (const auto &entry : names) {
        if (name.size() == int(std::strlen(entry.name)) &&
            std::memcmp(name.constData(), entry.name, size_t(name.size())) == 0)
            return entry.command;
    }
    return SimCommand::Unknown;
}

// The verdict on bytes held, worked out without isValidFirmwareImage.
quint8 verdictOn(const QByteArray &contents)
{
    if (contents.size() != FirmwareImageSize)
        return SimStatus::InvalidImage;
    const quint32 checksum = crc32Compute(contents.constData(), FirmwareBodySize);
    const auto *tail = reinterpret_cast<const quint8 *>(contents.constData()) + FirmwareBodySize;
    const quint32 stored =
        quint32(tail[0]) << 24 | quint32(tail[1]) << 16 | quint32(tail[2]) << 8 | quint32(tail[3]);
    return checksum == stored ? ReplyOkCode : SimStatus::InvalidImage;
}

class Session
{
public:
    // Handles one datagram the way the simulator does, checking every answer on the model.
    void deliver(const QByteArray &datagram)
    {
        const auto parsed = Datagram::parseCommand(datagram.constData(), datagram.size());
        if (!parsed || (parsed->type != CmdNotice && parsed->type != CmdRequest))
            return expectUnchanged();
        const SimCommand command = simCommandFromName(parsed->name);
        FUZZ_CHECK(command == commandNamed(parsed->name));
        FUZZ_CHECK(isAnsweredCommandName(parsed->name) ==
                   (command != SimCommand::Unknown && command != SimCommand::StartApplication));

        if (parsed->type == CmdNotice) {
            // Only an End notice does anything: it gives up an upload still open.
            if (command == SimCommand::End) {
                FUZZ_CHECK(m_flash.abandon() == m_uploading);
                if (m_uploading)
                    setContents(QByteArray());
                m_uploading = false;
            }
            return expectUnchanged();
        }

        quint8 status = 0;
        switch (command) {
        case SimCommand::Start:
            status = m_flash.erase();
            FUZZ_CHECK(status == ReplyOkCode);
            setContents(QByteArray());
            m_uploading = true;
            break;
        case SimCommand::Write:
            status = m_flash.write(parsed->payload);
            if (!m_uploading) {
                FUZZ_CHECK(status == SimStatus::WriteWithoutStart);
            } else if (qint64(m_contents.size()) + parsed->payload.size() > FirmwareImageSize) {
                FUZZ_CHECK(status == SimStatus::WritePastImageEnd);
            } else {
                FUZZ_CHECK(status == ReplyOkCode);
                if (!parsed->payload.isEmpty())
                    append(parsed->payload);
            }
            break;
        case SimCommand::End:
            status = m_flash.end();
            m_uploading = false;
            FUZZ_CHECK(status == verdict());
            break;
        case SimCommand::Check:
            status = m_flash.check();
            FUZZ_CHECK(status == verdict());
            break;
        case SimCommand::Ping:
        case SimCommand::StartApplication:
        case SimCommand::Unknown:
            return expectUnchanged();
        }
        expectUnchanged(command != SimCommand::Write);
        // Holding a whole image sent earlier, the verdict is the one that image deserves.
        if (command != SimCommand::Write && !m_sentImage.isEmpty() && m_contents == m_sentImage)
            FUZZ_CHECK(status == (m_sentImageValid ? ReplyOkCode : SimStatus::InvalidImage));

        // The reply carries the verdict to the tool unchanged.
        const QByteArray reply = simReply(command, parsed->sequence, status);
        FUZZ_CHECK(reply.size() == ReplySize && quint8(reply[0]) == ReplyMarker);
        FUZZ_CHECK(quint8(reply[ReplyCommandOffset]) == quint8(command));
        const Datagram::ReplyKind kind =
            Datagram::classifyReply(reply.constData(), reply.size(), parsed->sequence);
        FUZZ_CHECK(kind == (status == ReplyOkCode ? Datagram::ReplyKind::Success
                                                  : Datagram::ReplyKind::Failure));
    }

    void request(const char *name, const QByteArray &payload = QByteArray())
    {
        m_sequence = Datagram::nextSequence(m_sequence);
        deliver(Datagram::command(CmdRequest, m_sequence, name, payload));
    }

    void uploadImage(const QByteArray &raw, int flipAt)
    {
        QByteArray image = buildFirmwareImage(raw);
        if (flipAt >= 0)
            image[flipAt] = char(image[flipAt] ^ 0x01);
        m_sentImage = image;
        m_sentImageValid = flipAt < 0;
        request("Start");
        for (int at = 0; at < FirmwareImageSize; at += WriteBlockSize)
            request("Write", image.mid(at, WriteBlockSize));
        FUZZ_CHECK(m_flash.contents() == image);
    }

private:
    void setContents(const QByteArray &contents)
    {
        m_contents = contents;
        m_verdictKnown = false;
    }
    void append(const QByteArray &block)
    {
        m_contents.append(block);
        m_verdictKnown = false;
    }
    quint8 verdict()
    {
        if (!m_verdictKnown)
            m_verdict = verdictOn(m_contents);
        m_verdictKnown = true;
        return m_verdict;
    }

public:
    // Whole contents are compared where they are judged and at the end of an input; a block
    // at a time costs no more than the write itself.
    void expectUnchanged(bool whole = false) const
    {
        const QByteArray &held = m_flash.contents();
        FUZZ_CHECK(held.size() <= FirmwareImageSize && held.size() == m_contents.size());
        const int tail = whole ? held.size() : std::min(held.size(), WriteBlockSize);
        FUZZ_CHECK(std::memcmp(held.constData() + held.size() - tail,
                               m_contents.constData() + held.size() - tail, size_t(tail)) == 0);
    }

private:
    SimulatedFlash m_flash;
    QByteArray m_contents; // what the flash must hold
    bool m_uploading = false;
    QByteArray m_sentImage; // the last image sent whole, and whether it was left intact
    bool m_sentImageValid = false;
    bool m_verdictKnown = false;
    quint8 m_verdict = 0;
    quint8 m_sequence = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Session session;
    int fillBlocks = 0;
    size_t at = 0;
    for (int record = 0; record < MaxRecords && at + 2 <= size; ++record) {
        const unsigned header = unsigned(data[at]) << 8 | data[at + 1];
        at += 2;
        if (!(header & 0x8000)) {
            const size_t length = std::min<size_t>(header & 0x7FF, size - at);
            session.deliver(QByteArray(reinterpret_cast<const char *>(data + at), int(length)));
            at += length;
        } else if ((header & 0x7000) == 0) {
            const QByteArray block(WriteBlockSize, ImagePadByte);
            for (unsigned i = 0; i < (header & 0x0FFF) && fillBlocks < MaxFillBlocks; ++i) {
                ++fillBlocks;
                session.request("Write", block);
            }
        } else {
            const size_t length = std::min<size_t>(header & 0x3F, size - at);
            const unsigned flip = (header >> 6) & 0x3F;
            const int flipAt = flip ? int((flip * 14563u) % FirmwareImageSize) : -1;
            session.uploadImage(QByteArray(reinterpret_cast<const char *>(data + at), int(length)),
                                flipAt);
            at += length;
        }
    }
    session.expectUnchanged(true);
    return 0;
}
