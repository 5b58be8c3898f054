#include "image/firmwareimage.h"

#include "image/crc32.h"

#include <QFile>
#include <QSaveFile>
#include <algorithm>

namespace {

// The checksum of an image body as it is stored: most significant byte first.
QByteArray bodyChecksumBytes(const QByteArray &image)
{
    const quint32 checksum = crc32Compute(image.constData(), FirmwareBodySize);
    QByteArray bytes(ChecksumSize, 0);
    for (int i = 0; i < ChecksumSize; ++i)
        bytes[i] = char(checksum >> (8 * (ChecksumSize - 1 - i)));
    return bytes;
}

bool openForReplace(QSaveFile &output)
{
    // Unbuffered: a buffered tail that fails to flush inside commit() can still be committed.
    return output.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

bool writeAndCommit(QSaveFile &output, const QByteArray &data)
{
    if (output.write(data) != data.size()) {
        output.cancelWriting();
        return false;
    }
    return output.commit();
}

} // namespace

QByteArray buildFirmwareImage(const QByteArray &raw)
{
    QByteArray image(FirmwareImageSize, ImagePadByte);
    std::copy_n(raw.constData(), std::min(raw.size(), FirmwareBodySize), image.data());
    image.replace(FirmwareBodySize, ChecksumSize, bodyChecksumBytes(image));
    return image;
}

bool isValidFirmwareImage(const QByteArray &image)
{
    return image.size() == FirmwareImageSize &&
           image.mid(FirmwareBodySize) == bodyChecksumBytes(image);
}

bool writeFileAtomically(const QString &path, const QByteArray &data)
{
    QSaveFile output(path);
    return openForReplace(output) && writeAndCommit(output, data);
}

PostBuildResult runPostBuild(const QString &inputPath, const QString &outputPath)
{
    QFile input(inputPath);
    if (!input.open(QIODevice::ReadOnly))
        return PostBuildResult::InputNotOpened;

    QSaveFile output(outputPath);
    if (!openForReplace(output))
        return PostBuildResult::OutputNotOpened;

    if (input.size() > FirmwareBodySize) {
        output.cancelWriting();
        return PostBuildResult::InputTooBig;
    }
    // Read whole before anything replaces the output, which may be this very file.
    const QByteArray raw = input.readAll();
    if (raw.size() > FirmwareBodySize) { // grew after the size check
        output.cancelWriting();
        return PostBuildResult::InputTooBig;
    }
    return writeAndCommit(output, buildFirmwareImage(raw)) ? PostBuildResult::Written
                                                           : PostBuildResult::WriteFailed;
}
