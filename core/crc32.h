#pragma once

#include <QtGlobal>

// The image checksum: a right-shifting CRC-32 register combined with 0x04C11DB7 (not the
// common reflected CRC-32's 0xEDB88320), start 0xFFFFFFFF, result complemented. Devices
// verify exactly this variant, so no library CRC can stand in for it.

quint32 crc32Compute(const char *data, qint32 length);

// Chains: crc32Update(crc32Compute(a), b) == crc32Compute(a + b).
quint32 crc32Update(quint32 previous, const char *data, qint32 length);
