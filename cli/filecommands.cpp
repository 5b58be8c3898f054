#include "cli/filecommands.h"

#include "cli/output.h"
#include "core/firmwarefile.h"
#include "core/firmwareimage.h"
#include "core/logging.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

using namespace Output;

namespace {

// The window passes over a file it cannot open in silence; a build step that fails must say why.
const char CannotRead[] = "could not be read";
const char DefaultOutput[] = "target.bin";

int fileError(const QString &name, const QString &message, int exitCode = ExitUsage)
{
    Output::message(
        QStringLiteral("bootloader-cli: \"%1\": %2\n").arg(name, message).toLocal8Bit());
    return exitCode;
}

// The window's name checks and messages; 0 when the name passes.
int checkName(const QString &name)
{
    switch (checkFirmwareFileName(name)) {
    case FileNameCheck::Passed:
        return ExitSucceeded;
    case FileNameCheck::NotSelected:
        return fileError(name, QLatin1String(FirmwareMessages::SelectFile));
    case FileNameCheck::NotFound:
        return fileError(name, QLatin1String(FirmwareMessages::NotFound));
    }
    return ExitUsage;
}

QString hex(quint32 value)
{
    return QStringLiteral("0x") +
           QStringLiteral("%1").arg(value, 8, 16, QLatin1Char('0')).toUpper();
}

const char *verdictText(ImageInspection::Verdict verdict)
{
    switch (verdict) {
    case ImageInspection::Verdict::Valid:
        return "valid";
    case ImageInspection::Verdict::WrongSize:
        return "wrong size";
    case ImageInspection::Verdict::ChecksumMismatch:
        return "checksum mismatch";
    }
    return "?";
}

} // namespace

int postBuild(const QString &input, const QString &output, bool quiet)
{
    if (const int refused = checkName(input))
        return refused;
    // A name the upload would refuse is no use as its output.
    if (!hasFirmwareFileSuffix(output))
        return fileError(output, QStringLiteral("an image must be named *.bin"));
    QString reason;
    const PostBuildResult result = runPostBuild(input, output, &reason);
    qCDebug(lcFile).noquote() << "post-build of" << input << "into" << output << ":"
                              << (result == PostBuildResult::Written ? "written" : "not written")
                              << reason;
    switch (result) {
    case PostBuildResult::Written:
        if (!quiet)
            report(QStringLiteral("Postbuild is completed successful: %1\n")
                       .arg(output)
                       .toLocal8Bit());
        return ExitSucceeded;
    case PostBuildResult::InputNotOpened:
        return fileError(input, QLatin1String(CannotRead));
    case PostBuildResult::InputTooBig:
        return fileError(input, QLatin1String(FirmwareMessages::TooBig));
    case PostBuildResult::OutputNotOpened:
    case PostBuildResult::WriteFailed:
        break;
    }
    const QString notWritten = output == QLatin1String(DefaultOutput)
                                   ? QLatin1String(FirmwareMessages::NotWritten)
                                   : QStringLiteral("could not be written");
    return fileError(output,
                     reason.isEmpty() ? notWritten : notWritten + QStringLiteral(": ") + reason);
}

int inspect(const QStringList &images, bool json)
{
    int worst = ExitSucceeded;
    for (const QString &name : images) {
        const std::optional<QByteArray> bytes = readRegularFile(name, FirmwareImageSize);
        if (!bytes) {
            fileError(name, QFileInfo(name).isFile() ? QLatin1String(CannotRead)
                                                     : QStringLiteral("is not a regular file"));
            worst = qMax(worst, int(ExitUsage));
            continue;
        }
        // One byte past the image is enough to tell a wrong size; say the file's own size.
        ImageInspection inspection = inspectImage(*bytes);
        inspection.size = QFileInfo(name).size();
        const bool valid = inspection.verdict == ImageInspection::Verdict::Valid;
        const bool sized = inspection.verdict != ImageInspection::Verdict::WrongSize;
        if (!valid)
            worst = qMax(worst, int(ExitRefused));
        if (json) {
            QJsonObject object{{"schema", 1},
                               {"event", "inspect"},
                               {"file", name},
                               {"size", double(inspection.size)},
                               {"verdict", QLatin1String(verdictText(inspection.verdict))}};
            if (sized) {
                object.insert("stored_checksum", hex(inspection.storedChecksum));
                object.insert("computed_checksum", hex(inspection.computedChecksum));
                object.insert("fill_bytes", inspection.fillBytes);
            }
            report(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
            continue;
        }
        QString text = QStringLiteral("%1: %2 bytes").arg(name).arg(inspection.size);
        if (sized)
            text += QStringLiteral(", stored checksum %1, computed %2, %3 bytes of 0xFF fill at "
                                   "the end of the body")
                        .arg(hex(inspection.storedChecksum), hex(inspection.computedChecksum))
                        .arg(inspection.fillBytes);
        else
            text += QStringLiteral(" (an image is %1)").arg(FirmwareImageSize);
        report((text + QStringLiteral(": ") + QLatin1String(verdictText(inspection.verdict)) +
                QLatin1Char('\n'))
                   .toLocal8Bit());
    }
    return worst;
}

int loadUploadImage(const QString &name, bool force, QByteArray *image)
{
    if (const int refused = checkName(name))
        return refused;
    switch (readUploadImage(name, image)) {
    case ImageRead::Loaded:
        break;
    case ImageRead::NotOpened:
        return fileError(name, QLatin1String(CannotRead));
    case ImageRead::WrongSize:
        return fileError(name, QLatin1String(FirmwareMessages::WrongSize));
    }
    const ImageInspection inspection = inspectImage(*image);
    qCDebug(lcFile).noquote() << "image" << name << "stored checksum"
                              << hex(inspection.storedChecksum) << "computed"
                              << hex(inspection.computedChecksum);
    if (force || inspection.verdict == ImageInspection::Verdict::Valid)
        return ExitSucceeded;
    return fileError(name,
                     QStringLiteral("stored checksum %1, computed %2: the device would erase "
                                    "its flash and then refuse this image (--force sends "
                                    "it anyway)")
                         .arg(hex(inspection.storedChecksum), hex(inspection.computedChecksum)));
}
