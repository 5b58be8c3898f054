// The simulated flash under any sequence of commands. Input: one byte per operation, its low
// three bits: 0 Start; 1 Write of (next byte) / 224 image sizes; 2 End; 3 Check; 4 End notice;
// 5 Write of a whole image of (next byte) bytes in 512-byte blocks, with bit 3 set one body
// byte flipped at (next byte) / 255 of the body on the way.
#include "fuzzcheck.h"

#include "core/firmwareimage.h"
#include "sim/simulatedflash.h"
#include "sim/simwire.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    SimulatedFlash flash;
    bool open = false; // a Start, and no End request or End notice since
    size_t at = 0;
    const auto next = [&] {
        return at < size ? int(data[at++]) : 0;
    };
    const auto write = [&](const QByteArray &block) {
        const int held = flash.contents().size();
        const bool accepted = flash.write(block) == ReplyOkCode;
        FUZZ_CHECK(accepted == (open && held + block.size() <= FirmwareImageSize));
        FUZZ_CHECK(flash.contents().size() == held + (accepted ? block.size() : 0));
    };
    while (at < size && at < 64) { // enough for every order of a few uploads
        const int op = next();
        const QByteArray before = flash.contents();
        if ((op & 7) == 0) {
            FUZZ_CHECK(flash.erase() == ReplyOkCode && flash.contents().isEmpty());
            open = true;
        } else if ((op & 7) == 1) {
            write(QByteArray(next() * FirmwareImageSize / 224, char(op)));
        } else if ((op & 7) == 2 || (op & 7) == 3) {
            const quint8 status = (op & 7) == 2 ? flash.end() : flash.check();
            open = open && (op & 7) == 3;
            FUZZ_CHECK((status == ReplyOkCode) == isValidFirmwareImage(flash.contents()));
            FUZZ_CHECK(flash.contents() == before);
        } else if ((op & 7) == 4) {
            FUZZ_CHECK(flash.abandon() == open && flash.contents() == (open ? "" : before));
            open = false;
        } else if ((op & 7) == 5) {
            QByteArray image = buildFirmwareImage(QByteArray(next(), char(op)));
            if (op & 8)
                image.data()[next() * (FirmwareBodySize / 255)] ^= 1;
            for (int from = 0; from < FirmwareImageSize; from += WriteBlockSize)
                write(image.mid(from, WriteBlockSize));
            // An intact image sent whole after a Start is one the device accepts.
            if (!(op & 8) && open && before.isEmpty())
                FUZZ_CHECK(flash.check() == ReplyOkCode);
        }
    }
    return 0;
}
