#include "cli/devicesession.h"
#include "cli/devicetarget.h"
#include "cli/progressreporter.h"
#include "core/commandline.h"
#include "core/firmwarefile.h"
#include "core/firmwareimage.h"

#include <QCoreApplication>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

namespace {

enum ExitCode {
    ExitSucceeded = 0,
    ExitRefused = 1,
    ExitUsage = 2, // also a refused file: in both cases nothing was sent
    ExitLink = 3,
};

constexpr int DefaultTimeoutSeconds = 30;
constexpr double LongestTimeoutSeconds = 24 * 60 * 60;
const char DefaultOutput[] = "target.bin";

const char Description[] =
    R"(Uploads firmware to devices whose bootloader answers on UDP, checks or starts
the application they hold, and turns a raw build output into an uploadable image.

Commands:
  postbuild INPUT [--output FILE]
      Pads INPUT (a .bin file of at most 917500 bytes) with 0xFF to 917500 bytes and
      appends its checksum: a 917504-byte image, written to FILE (default target.bin in
      the working directory). An earlier FILE stays as it was if anything fails.
  upload IMAGE --device DEVICE...
      Uploads IMAGE (a .bin file of exactly 917504 bytes) to each device.
  check --device DEVICE...
      Asks each device to check the application it holds.
  start --device DEVICE...
      Tells each device to start its application (a notice: nothing answers it).

DEVICE is IPV4[:PORT], IPV6 or [IPV6]:PORT, as numbers (names are not looked up); the
port defaults to 31120. Give --device several times to serve devices in parallel. Each
device gets one summary line on stdout: device, result, seconds, detail. Progress and
messages go to stderr.

Each reply, keep-alive answers included, must come within --timeout seconds, and a
device without a keep-alive answer for 12 seconds is lost.

Exit status:
  0  every device succeeded
  1  a device answered with a failure verdict: End or Check failed, Start or Write refused
  2  usage error, or the firmware file was refused (nothing was sent)
  3  link lost, a reply timed out, or a reply carried the wrong sequence number
With several devices the worst one counts: 3 over 1 over 0.)";

struct Options
{
    QCommandLineOption device{
        {"d", "device"}, "upload, check, start: a device to serve; may be repeated.", "device"};
    QCommandLineOption timeout{
        {"t", "timeout"},
        QStringLiteral("upload, check, start: longest wait for each reply, in seconds "
                       "(default %1).")
            .arg(DefaultTimeoutSeconds),
        "seconds",
        QString::number(DefaultTimeoutSeconds)};
    QCommandLineOption output{{"o", "output"},
                              "postbuild: the image file to write (default target.bin).",
                              "file",
                              DefaultOutput};
    QCommandLineOption quiet{{"q", "quiet"}, "No progress and no success message."};
    QCommandLineOption verbose{"verbose", "One line per command with its round-trip time."};
};

using CommandLine::usageError;

int fileError(const QString &name, const char *message)
{
    std::fprintf(stderr, "bootloader-cli: \"%s\": %s\n", qPrintable(name), message);
    return ExitUsage;
}

// The window's name checks and messages; 0 when the name passes.
int checkName(const QString &name)
{
    switch (checkFirmwareFileName(name)) {
    case FileNameCheck::Passed:
        return ExitSucceeded;
    case FileNameCheck::NotSelected:
        return fileError(name, FirmwareMessages::SelectFile);
    case FileNameCheck::NotFound:
        return fileError(name, FirmwareMessages::NotFound);
    }
    return ExitUsage;
}

// The window passes over a file it cannot open in silence; a build step that fails must say why.
const char CannotRead[] = "could not be read";

int postBuild(const QString &input, const QString &output, bool quiet)
{
    if (const int refused = checkName(input))
        return refused;
    switch (runPostBuild(input, output)) {
    case PostBuildResult::Written:
        if (!quiet)
            std::printf("Postbuild is completed successful: %s\n", qPrintable(output));
        return ExitSucceeded;
    case PostBuildResult::InputNotOpened:
        return fileError(input, CannotRead);
    case PostBuildResult::InputTooBig:
        return fileError(input, FirmwareMessages::TooBig);
    case PostBuildResult::OutputNotOpened:
    case PostBuildResult::WriteFailed:
        if (output == QLatin1String(DefaultOutput))
            return fileError(output, FirmwareMessages::NotWritten);
        return fileError(output, "could not be written");
    }
    return ExitUsage;
}

int loadImage(const QString &name, QByteArray *image)
{
    if (const int refused = checkName(name))
        return refused;
    switch (readUploadImage(name, image)) {
    case ImageRead::Loaded:
        return ExitSucceeded;
    case ImageRead::NotOpened:
        return fileError(name, CannotRead);
    case ImageRead::WrongSize:
        return fileError(name, FirmwareMessages::WrongSize);
    }
    return ExitUsage;
}

QString resultText(DeviceSession::Result result)
{
    switch (result) {
    case DeviceSession::Result::Succeeded:
        return QStringLiteral("ok");
    case DeviceSession::Result::Refused:
        return QStringLiteral("failed");
    case DeviceSession::Result::LinkLost:
        return QStringLiteral("link lost");
    case DeviceSession::Result::TimedOut:
        return QStringLiteral("timed out");
    case DeviceSession::Result::SequenceMismatch:
        return QStringLiteral("sequence mismatch");
    case DeviceSession::Result::Pending:
        break;
    }
    return QStringLiteral("unfinished");
}

int exitCodeFor(DeviceSession::Result result)
{
    switch (result) {
    case DeviceSession::Result::Succeeded:
        return ExitSucceeded;
    case DeviceSession::Result::Refused:
        return ExitRefused;
    case DeviceSession::Result::LinkLost:
    case DeviceSession::Result::TimedOut:
    case DeviceSession::Result::SequenceMismatch:
    case DeviceSession::Result::Pending:
        break;
    }
    return ExitLink;
}

// Runs one session per device in this one event loop and reports each; the worst exit wins.
int runSessions(DeviceSession::Operation operation, const QByteArray &image,
                const QVector<DeviceTarget> &devices, int timeoutMs, bool quiet, bool verbose)
{
    const bool showsProgress = operation == DeviceSession::Operation::Upload;
    ProgressReporter reporter(showsProgress ? ProgressReporter::progressFor(quiet, verbose)
                                            : ProgressReporter::Progress::None,
                              verbose);
    std::vector<std::unique_ptr<DeviceSession>> sessions;
    int running = devices.size();
    for (const DeviceTarget &device : devices) {
        const int index = reporter.addDevice(device.label());
        auto session = std::make_unique<DeviceSession>(device, operation, image, timeoutMs);
        QObject::connect(session.get(), &DeviceSession::progressChanged,
                         [&reporter, index](int percent) { reporter.progress(index, percent); });
        QObject::connect(
            session.get(), &DeviceSession::commandAnswered,
            [&reporter, index](const char *name, quint8 sequence, Datagram::ReplyKind answer,
                               quint8 status, qint64 roundTripUs) {
                reporter.commandAnswered(index, name, sequence, answer, status, roundTripUs);
            });
        QObject::connect(session.get(), &DeviceSession::noticeSent,
                         [&reporter, index](const char *name, quint8 sequence) {
                             reporter.noticeSent(index, name, sequence);
                         });
        const DeviceSession *raw = session.get();
        QObject::connect(raw, &DeviceSession::finished, [&reporter, &running, raw, index] {
            reporter.deviceFinished(index, resultText(raw->result()));
            if (--running == 0)
                QCoreApplication::quit();
        });
        sessions.push_back(std::move(session));
    }

    reporter.begin();
    for (const auto &session : sessions)
        session->start();
    if (running > 0) // a session may end inside start(), when its first send fails
        QCoreApplication::exec();

    int worst = ExitSucceeded;
    for (size_t i = 0; i < sessions.size(); ++i) {
        const DeviceSession &session = *sessions[i];
        reporter.summary(int(i), resultText(session.result()), session.elapsedMs(),
                         session.detail());
        worst = qMax(worst, exitCodeFor(session.result()));
    }
    return worst;
}

std::optional<int> parseTimeoutMs(const QString &text)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !(seconds > 0) || seconds > LongestTimeoutSeconds)
        return std::nullopt;
    return qMax(1, qRound(seconds * 1000));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("postbuild, upload, check or start."),
                                 QStringLiteral("command [file]"));
    const Options options;
    if (const std::optional<int> exitCode = CommandLine::parse(
            parser, "bootloader-cli", Description,
            {options.device, options.timeout, options.output, options.quiet, options.verbose}))
        return *exitCode;

    QStringList arguments = parser.positionalArguments();
    if (arguments.isEmpty())
        return usageError(QStringLiteral("no command given"));
    const QString command = arguments.takeFirst();
    const bool quiet = parser.isSet(options.quiet);
    const bool verbose = parser.isSet(options.verbose);
    if (quiet && verbose)
        return usageError(QStringLiteral("--quiet and --verbose exclude each other"));

    const bool postbuild = command == QLatin1String("postbuild");
    const bool upload = command == QLatin1String("upload");
    if (!postbuild && !upload && command != QLatin1String("check") &&
        command != QLatin1String("start"))
        return usageError(QStringLiteral("unknown command \"%1\"").arg(command));
    const int fileCount = postbuild || upload ? 1 : 0;
    if (arguments.size() != fileCount)
        return usageError(fileCount == 1 ? QStringLiteral("%1 wants one file").arg(command)
                                         : QStringLiteral("%1 takes no file").arg(command));

    if (postbuild) {
        if (parser.isSet(options.device) || parser.isSet(options.timeout))
            return usageError(QStringLiteral("postbuild takes no --device and no --timeout"));
        return postBuild(arguments.constFirst(), parser.value(options.output), quiet);
    }
    if (parser.isSet(options.output))
        return usageError(QStringLiteral("--output is for postbuild only"));

    const std::optional<int> timeoutMs = parseTimeoutMs(parser.value(options.timeout));
    if (!timeoutMs)
        return usageError(QStringLiteral("--timeout wants a number of seconds above 0, not \"%1\"")
                              .arg(parser.value(options.timeout)));
    QVector<DeviceTarget> devices;
    for (const QString &text : parser.values(options.device)) {
        QString error;
        const std::optional<DeviceTarget> device = parseDeviceTarget(text, &error);
        if (!device)
            return usageError(QStringLiteral("--device: %1").arg(error));
        for (const DeviceTarget &earlier : devices) {
            if (earlier.sameDevice(*device)) // two sessions would fight over one bootloader
                return usageError(QStringLiteral("--device %1 is given twice").arg(text));
        }
        devices.append(*device);
    }
    if (devices.isEmpty())
        return usageError(QStringLiteral("%1 wants at least one --device").arg(command));

    QByteArray image;
    if (upload) {
        if (const int refused = loadImage(arguments.constFirst(), &image))
            return refused;
    }
    const DeviceSession::Operation operation = upload ? DeviceSession::Operation::Upload
                                               : command == QLatin1String("check")
                                                   ? DeviceSession::Operation::Check
                                                   : DeviceSession::Operation::StartApplication;
    return runSessions(operation, image, devices, *timeoutMs, quiet, verbose);
}
