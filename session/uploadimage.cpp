#include "session/uploadimage.h"

#include "core/firmwarefile.h"
#include "core/firmwareimage.h"
#include "core/logging.h"
#include "core/quotedinput.h"
#include "posix/output.h"

#include <QFileInfo>

using namespace Output;

namespace FileMessages {

int fileError(const QString &name, const QString &message, int exitCode)
{
    Output::message(
        QStringLiteral("bootloader-cli: %1: %2\n").arg(quotedInput(name), message).toLocal8Bit());
    return exitCode;
}

QString wrongSuffix()
{
    return QStringLiteral("the name must end in \".bin\" (lower case)");
}

QString notReadable(const QString &name, const QString &reason)
{
    if (!QFileInfo::exists(name))
        return QStringLiteral("no such file");
    if (!QFileInfo(name).isFile())
        return QStringLiteral("not a regular file");
    return QStringLiteral("could not be read: ") + reason;
}

QString wrongSize(qint64 size)
{
    return QStringLiteral("%1 bytes (an image is %2): wrong size").arg(size).arg(FirmwareImageSize);
}

} // namespace FileMessages

using namespace FileMessages;

QString checksumText(quint32 checksum)
{
    return QStringLiteral("0x") +
           QStringLiteral("%1").arg(checksum, 8, 16, QLatin1Char('0')).toUpper();
}

int loadUploadImage(const QString &name, bool force, QByteArray *image)
{
    if (!hasFirmwareFileSuffix(name))
        return fileError(name, wrongSuffix());
    QString reason;
    switch (readUploadImage(name, image, &reason)) {
    case ImageRead::Loaded:
        break;
    case ImageRead::NotOpened:
        return fileError(name, notReadable(name, reason));
    case ImageRead::WrongSize: {
        if (!reason.isEmpty())
            return fileError(name, notReadable(name, reason));
        const qint64 size = QFileInfo(name).size();
        // Less than an image body: most likely the build's own output, not yet an image.
        return fileError(name, wrongSize(size) + (size <= FirmwareBodySize
                                                      ? QStringLiteral("; run `bootloader-cli "
                                                                       "postbuild` first")
                                                      : QString()));
    }
    }
    const ImageInspection inspection = inspectImage(*image);
    qCDebug(lcFile).noquote() << "image" << name << "stored checksum"
                              << checksumText(inspection.storedChecksum) << "computed"
                              << checksumText(inspection.computedChecksum);
    if (force || inspection.verdict == ImageInspection::Verdict::Valid)
        return ExitSucceeded;
    return fileError(name, QStringLiteral("stored checksum %1, computed %2: the device would erase "
                                          "its flash and then refuse this image (--force sends "
                                          "it anyway)")
                               .arg(checksumText(inspection.storedChecksum),
                                    checksumText(inspection.computedChecksum)));
}
