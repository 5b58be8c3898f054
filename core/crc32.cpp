#include "core/crc32.h"

namespace {
constexpr quint32 CombiningConstant = 0x04C11DB7;
}

quint32 crc32Update(quint32 previous, const char *data, qint32 length)
{
    if (length <= 0)
        return previous;
    quint32 r = ~previous;
    for (qint32 i = 0; i < length; ++i) {
        r ^= quint8(data[i]);
        for (int bit = 0; bit < 8; ++bit) {
            // A select, which compilers make a conditional move: no unpredictable branch per
            // bit, and a shorter dependency chain than the mask form.
            const quint32 shifted = r >> 1;
            r = (r & 1u) ? shifted ^ CombiningConstant : shifted;
        }
    }
    return ~r;
}

quint32 crc32Compute(const char *data, qint32 length)
{
    return length <= 0 ? 0 : crc32Update(0, data, length);
}
