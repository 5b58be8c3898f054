#include "core/postbuildfile.h"

#include "core/firmwarefile.h"
#include "core/firmwareimage.h"

#include <QFileInfo>
#include <QSaveFile>

namespace {

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

bool writeFileAtomically(const QString &path, const QByteArray &data)
{
    QSaveFile output(path);
    QString reason;
    return openForReplace(output) && writeAndCommit(output, data, &reason);
}

PostBuildResult runPostBuild(const QString &inputPath, const QString &outputPath, QString *reason,
                             InPlaceWrite inPlace)
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
    output.setDirectWriteFallback(inPlace == InPlaceWrite::Allowed);
    if (!openForReplace(output)) {
        *reason = output.errorString();
        return PostBuildResult::OutputNotOpened;
    }
    return writeAndCommit(output, buildFirmwareImage(*raw), reason) ? PostBuildResult::Written
                                                                    : PostBuildResult::WriteFailed;
}
