#include "cli/filecommands.h"

#include "core/firmwarefile.h"
#include "core/firmwareimage.h"
#include "core/logging.h"
#include "core/postbuildfile.h"
#include "core/quotedinput.h"
#include "posix/output.h"
#include "session/imagepin.h"
#include "session/uploadimage.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

using namespace Output;
using namespace FileMessages;

namespace {

const char DefaultOutput[] = "target.bin";

// The system's reason, without the file's name that Qt's texts repeat.
QString notWritable(const QString &name, const QString &reason)
{
    const QFileInfo info(name);
    if (!info.dir().exists())
        return QStringLiteral("no folder %1").arg(quotedInput(info.dir().path()));
    if (info.exists() && !info.isFile())
        return QStringLiteral("not a regular file");
    if (info.exists() && !info.isWritable())
        return QStringLiteral("the file is read-only");
    if (!QFileInfo(info.absolutePath()).isWritable())
        return QStringLiteral("the folder %1 is not writable (%2), and the output is only ever "
                              "replaced whole")
            .arg(quotedInput(info.dir().path()), reason);
    return reason;
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
    // A name the upload would refuse is no use as its output either.
    for (const QString &name : {input, output}) {
        if (!hasFirmwareFileSuffix(name))
            return fileError(name, wrongSuffix());
    }
    QString reason;
    const PostBuildResult result = runPostBuild(input, output, &reason, InPlaceWrite::Refused);
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
        return fileError(input, notReadable(input, reason));
    case PostBuildResult::InputTooBig:
        return fileError(input, QStringLiteral("%1 bytes (a raw build output is at most %2): "
                                               "too big")
                                    .arg(QFileInfo(input).size())
                                    .arg(FirmwareBodySize));
    case PostBuildResult::OutputNotOpened:
    case PostBuildResult::WriteFailed:
        break;
    }
    return fileError(output,
                     QStringLiteral("could not be written: ") + notWritable(output, reason));
}

int inspect(const QStringList &images, bool json)
{
    int worst = ExitSucceeded;
    for (const QString &name : images) {
        QString reason;
        const std::optional<QByteArray> bytes = readRegularFile(name, FirmwareImageSize, &reason);
        if (!bytes) {
            fileError(name, notReadable(name, reason));
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
                object.insert("stored_checksum", checksumText(inspection.storedChecksum));
                object.insert("computed_checksum", checksumText(inspection.computedChecksum));
                object.insert("fill_bytes", inspection.fillBytes);
                object.insert("sha256", ImagePin::sha256(*bytes));
            }
            report(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
            continue;
        }
        const QString text =
            sized ? QStringLiteral("%1: %2 bytes, SHA-256 %3, stored checksum %4, computed %5, %6 "
                                   "bytes of 0xFF fill at the end of the body: %7")
                        .arg(name)
                        .arg(inspection.size)
                        .arg(ImagePin::sha256(*bytes), checksumText(inspection.storedChecksum),
                             checksumText(inspection.computedChecksum))
                        .arg(inspection.fillBytes)
                        .arg(QLatin1String(verdictText(inspection.verdict)))
                  : QStringLiteral("%1: %2").arg(name, wrongSize(inspection.size));
        report((text + QLatin1Char('\n')).toLocal8Bit());
    }
    return worst;
}
