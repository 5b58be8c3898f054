#include "core/firmwareimage.h"

#include "core/crc32.h"

#include <algorithm>

namespace {

quint32 bodyChecksum(const QByteArray &image)
{
    return crc32Compute(image.constData(), FirmwareBodySize);
}

// The checksum of an image body as it is stored: most significant byte first.
QByteArray bodyChecksumBytes(const QByteArray &image)
{
    const quint32 checksum = bodyChecksum(image);
    QByteArray bytes(ChecksumSize, 0);
    for (int i = 0; i < ChecksumSize; ++i)
        bytes[i] = char(checksum >> (8 * (ChecksumSize - 1 - i)));
    return bytes;
}

// The last four bytes of an image, most significant first.
quint32 storedChecksum(const QByteArray &image)
{
    quint32 checksum = 0;
    for (int i = 0; i < ChecksumSize; ++i)
        checksum = checksum << 8 | quint8(image[FirmwareBodySize + i]);
    return checksum;
}

} // namespace

QByteArray buildFirmwareImage(const QByteArray &raw)
{
    QByteArray image(FirmwareImageSize, ImagePadByte);
    std::copy_n(raw.constData(), std::min<qsizetype>(raw.size(), FirmwareBodySize), image.data());
    image.replace(FirmwareBodySize, ChecksumSize, bodyChecksumBytes(image));
    return image;
}

bool isValidFirmwareImage(const QByteArray &image)
{
    return image.size() == FirmwareImageSize && storedChecksum(image) == bodyChecksum(image);
}

ImageInspection inspectImage(const QByteArray &image)
{
    ImageInspection inspection;
    inspection.size = image.size();
    if (image.size() != FirmwareImageSize) {
        inspection.verdict = ImageInspection::Verdict::WrongSize;
        return inspection;
    }
    inspection.storedChecksum = storedChecksum(image);
    inspection.computedChecksum = bodyChecksum(image);
    while (inspection.fillBytes < FirmwareBodySize &&
           image[FirmwareBodySize - 1 - inspection.fillBytes] == ImagePadByte)
        ++inspection.fillBytes;
    inspection.verdict = inspection.storedChecksum == inspection.computedChecksum
                             ? ImageInspection::Verdict::Valid
                             : ImageInspection::Verdict::ChecksumMismatch;
    return inspection;
}
