// The image post-build makes of any build output that fits.
// Input: with bit 7 of byte 0 clear the build output is the rest as it is; set, it is the rest
// repeated to FirmwareBodySize - (byte 0 & 0x1F) bytes, so the size limit is reached from short
// inputs. Bytes 1 to 3 choose a byte of the body to flip, byte 0 | 1 flips it.
#include "fuzzcheck.h"

#include "core/crc32.h"
#include "core/firmwareimage.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    QByteArray raw(reinterpret_cast<const char *>(data + 4), int(size - 4));
    if (data[0] & 0x80) {
        const int length = FirmwareBodySize - (data[0] & 0x1F);
        raw = raw.isEmpty() ? QByteArray(length, char(data[0]))
                            : raw.repeated(length / raw.size() + 1).left(length);
    }
    QByteArray image = buildFirmwareImage(raw);
    FUZZ_CHECK(image.size() == FirmwareImageSize && image.startsWith(raw));
    const int padding = FirmwareBodySize - raw.size();
    FUZZ_CHECK(image.mid(raw.size(), padding) == QByteArray(padding, ImagePadByte));
    // The body's checksum follows it, most significant byte first.
    FUZZ_CHECK(image.mid(FirmwareBodySize).toHex().toUInt(nullptr, 16) ==
               crc32Compute(image.constData(), FirmwareBodySize));
    FUZZ_CHECK(isValidFirmwareImage(image));
    image.data()[(data[1] << 16 | data[2] << 8 | data[3]) % FirmwareBodySize] ^= char(data[0] | 1);
    FUZZ_CHECK(!isValidFirmwareImage(image));
    return 0;
}
