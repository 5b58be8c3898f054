#include "core/firmwareimage.h"

#include "core/crc32.h"
#include "core/firmwarefile.h"

#include <QFileInfo>
#include <QSaveFile>
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

bool openForReplace(QSaveFile &output)
{
    // Unbuffered: a buffered tail that fails to flush inside commit() can still be committed.
    return output.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

bool writeAndCommit(QSaveFile &output, const QByteArray &data, QString *reason)
{
    const qint64 written = output.write(data);
    if (written != data.size()) {
        // A file-size limit or a full disk can cut a write short without an error of its own.
        *reason = output.error() != QFileDevice::NoError && written < 0
                      ? output.errorString()
                      : QStringLiteral("only %1 of %2 bytes went to disk (disk full or file size "
                                       "limit?)")
                            .arg(qMax<qint64>(written, 0))
                            .arg(data.size());
        output.cancelWriting();
        return false;
    }
    // After a failed commit error() may read NoError: take the text first.
    *reason = output.errorString();
    return output.commit();
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

bool writeFileAtomically(const QString &path, const QByteArray &data)
{
    QSaveFile output(path);
    QString reason;
    return openForReplace(output) && writeAndCommit(output, data, &reason);
}

PostBuildResult runPostBuild(const QString &inputPath, const QString &outputPath, QString *reason)
{
    QString ignored;
    if (!reason)
        reason = &ignored;
    // Read whole before anything replaces the output, which may be this very file.
    const std::optional<QByteArray> raw = readRegularFile(inputPath, FirmwareBodySize, reason);
    if (!raw)
        return PostBuildResult::InputNotOpened;
    // Replacing a FIFO, a device node or a folder would put a plain file in its place.
    const QFileInfo target(outputPath);
    if (target.exists() && !target.isFile()) {
        *reason = QStringLiteral("not a regular file");
        return PostBuildResult::OutputNotOpened;
    }
    // Before the output is opened: in a read-only folder it is written in place, and opening
    // it there already truncates it.
    if (raw->size() > FirmwareBodySize)
        return PostBuildResult::InputTooBig;
    QSaveFile output(outputPath);
    output.setDirectWriteFallback(true);
    if (!openForReplace(output)) {
        *reason = output.errorString();
        return PostBuildResult::OutputNotOpened;
    }
    return writeAndCommit(output, buildFirmwareImage(*raw), reason) ? PostBuildResult::Written
                                                                    : PostBuildResult::WriteFailed;
}
