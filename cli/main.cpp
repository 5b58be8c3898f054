#include "cli/devicelist.h"
#include "cli/filecommands.h"
#include "cli/output.h"
#include "cli/sessionrunner.h"
#include "core/commandline.h"
#include "core/logging.h"

#include <QCoreApplication>
#include <csignal>
#include <optional>

using namespace Output;

namespace {

constexpr int DefaultTimeoutSeconds = 30;
constexpr double LongestTimeoutSeconds = 24 * 60 * 60;
constexpr int MostRetries = 100;
constexpr int DefaultRetryAfterMs = 250;

const char Description[] =
    R"(Uploads firmware to devices whose bootloader answers on UDP, checks or starts
the application they hold, and turns a raw build output into an uploadable image.

Commands:
  postbuild INPUT [--output FILE]
      Pads INPUT (a .bin file of at most 917500 bytes) with 0xFF to 917500 bytes and
      appends its checksum: a 917504-byte image, written to FILE (default target.bin in
      the working directory; it must end in .bin and be a regular file if it exists).
      An earlier FILE stays as it was if anything fails.
  inspect IMAGE...
      Says, for each image, its size, the stored checksum and the one computed over
      the 917500-byte body, how many 0xFF bytes end the body, and whether a device
      would accept it: valid, wrong size or checksum mismatch.
  upload IMAGE --device DEVICE...
      Uploads IMAGE (a .bin file of exactly 917504 bytes) to each device. An image
      whose checksum does not match is refused before anything is sent, since "Start"
      erases the device, which would then refuse the image; --force sends it anyway.
  check --device DEVICE...
      Asks each device to check the application it holds.
  start --device DEVICE...
      Tells each device to start its application (a notice: nothing answers it).

DEVICE is IPV4[:PORT], IPV6 or [IPV6]:PORT, as numbers (names are not looked up;
IPv4 as four decimal parts without leading zeros); the port defaults to 31120.
Give --device several times, or --devices-from a file with one DEVICE a line, to serve
devices in parallel. Each device gets one summary line on stdout: device, result,
seconds, detail; with --json, stdout carries JSON Lines instead. Progress and messages
go to stderr. Only datagrams from the device's own address and port count.

Each reply, keep-alive answers included, must come within --timeout seconds. A device
without a keep-alive answer for 12 seconds is lost, whatever --timeout says. With
--retries, a request unanswered after --retry-after ms is sent again, byte for byte
with the same sequence number: the device must answer a repeated request again
without applying it twice (bootloader-sim does).

SIGINT or SIGTERM ends the run: each device with an operation in progress is sent an
"End" notice and reported "interrupted".

Exit status:
  0    every device succeeded (inspect: every image is valid)
  1    a device answered with a failure verdict: End or Check failed, Start or Write
       refused (inspect: an image is not valid)
  2    usage error, or a file was refused or unreadable (nothing was sent)
  3    no answer, nothing listening, link lost, a reply timed out, or a reply carried
       the wrong sequence number
  4    the devices were served, but the report could not be written to stdout
  130  interrupted by SIGINT; 143 by SIGTERM
With several devices the worst one counts: 3 over 1 over 0.)";

struct Options
{
    QCommandLineOption device{
        {"d", "device"}, "upload, check, start: a device to serve; may be repeated.", "device"};
    QCommandLineOption devicesFrom{
        "devices-from", "upload, check, start: devices from a file, one a line; - for stdin.",
        "file"};
    QCommandLineOption timeout{
        {"t", "timeout"},
        QStringLiteral("upload, check, start: longest wait for each reply, in seconds "
                       "(default %1).")
            .arg(DefaultTimeoutSeconds),
        "seconds",
        QString::number(DefaultTimeoutSeconds)};
    QCommandLineOption retries{"retries",
                               "upload, check: send an unanswered request again up to n times "
                               "(default 0).",
                               "n", "0"};
    QCommandLineOption retryAfter{
        "retry-after",
        QStringLiteral("with --retries: ms to wait for a reply before sending again (default %1).")
            .arg(DefaultRetryAfterMs),
        "ms", QString::number(DefaultRetryAfterMs)};
    QCommandLineOption force{"force", "upload: send an image whose checksum does not match."};
    QCommandLineOption output{{"o", "output"},
                              "postbuild: the image file to write (default target.bin).",
                              "file",
                              "target.bin"};
    QCommandLineOption json{"json", "JSON Lines on stdout instead of summary lines."};
    QCommandLineOption logFile{"log-file",
                               "Append the link, flash and file log (as QT_LOGGING_RULES="
                               "\"bootloader.*=true\" shows it on stderr) to a file.",
                               "file"};
    QCommandLineOption quiet{{"q", "quiet"},
                             "No progress lines or bars on stderr and no post-build success "
                             "line; summary lines and errors are still printed."};
    QCommandLineOption verbose{{"v", "verbose"}, "One line per command with its round-trip time."};
};

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
    // A closed pipe or a file-size limit must end in an error message, not a silent death
    // with a device half-written.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);

    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("postbuild, inspect, upload, check or start."),
                                 QStringLiteral("command [file...]"));
    const Options o;
    if (const std::optional<int> exitCode =
            CommandLine::parse(parser, "bootloader-cli", Description,
                               {o.device, o.devicesFrom, o.timeout, o.retries, o.retryAfter,
                                o.force, o.output, o.json, o.logFile, o.quiet, o.verbose}))
        return *exitCode;
    using CommandLine::usageError;
    Logging::useTimestamps();
    if (parser.isSet(o.logFile)) {
        QString error;
        if (!Logging::writeToFile(parser.value(o.logFile), &error))
            return usageError(
                QStringLiteral("--log-file \"%1\": %2").arg(parser.value(o.logFile), error));
        Logging::enableAll();
    }

    QStringList arguments = parser.positionalArguments();
    if (arguments.isEmpty())
        return usageError(QStringLiteral("no command given"));
    const QString command = arguments.takeFirst();
    RunOptions run;
    run.quiet = parser.isSet(o.quiet);
    run.verbose = parser.isSet(o.verbose);
    run.json = parser.isSet(o.json);
    if (run.quiet && run.verbose)
        return usageError(QStringLiteral("--quiet and --verbose exclude each other"));

    const auto isSet = [&](std::initializer_list<const QCommandLineOption *> options) {
        for (const QCommandLineOption *option : options) {
            if (parser.isSet(*option))
                return option->names().constLast();
        }
        return QString();
    };
    const QString sessionOption =
        isSet({&o.device, &o.devicesFrom, &o.timeout, &o.retries, &o.retryAfter, &o.force});

    if (command == QLatin1String("postbuild") || command == QLatin1String("inspect")) {
        const bool postbuild = command == QLatin1String("postbuild");
        if (!sessionOption.isEmpty())
            return usageError(QStringLiteral("%1 takes no --%2").arg(command, sessionOption));
        if (postbuild && arguments.size() != 1)
            return usageError(QStringLiteral("postbuild wants one file"));
        if (!postbuild && arguments.isEmpty())
            return usageError(QStringLiteral("inspect wants at least one file"));
        if (!postbuild && parser.isSet(o.output))
            return usageError(QStringLiteral("--output is for postbuild only"));
        const int status =
            postbuild ? postBuild(arguments.constFirst(), parser.value(o.output), run.quiet)
                      : inspect(arguments, run.json);
        return reportWritten() ? status : qMax(status, int(ExitReportLost));
    }

    const bool upload = command == QLatin1String("upload");
    if (!upload && command != QLatin1String("check") && command != QLatin1String("start"))
        return usageError(QStringLiteral("unknown command \"%1\"").arg(command));
    if (arguments.size() != (upload ? 1 : 0))
        return usageError(upload ? QStringLiteral("upload wants one file")
                                 : QStringLiteral("%1 takes no file").arg(command));
    if (parser.isSet(o.output))
        return usageError(QStringLiteral("--output is for postbuild only"));
    if (!upload && parser.isSet(o.force))
        return usageError(QStringLiteral("--force is for upload only"));

    const std::optional<int> timeoutMs = parseTimeoutMs(parser.value(o.timeout));
    if (!timeoutMs)
        return usageError(QStringLiteral("--timeout wants a number of seconds above 0, not \"%1\"")
                              .arg(parser.value(o.timeout)));
    const std::optional<int> retries =
        CommandLine::parseDecimal(parser.value(o.retries), 0, MostRetries);
    const std::optional<int> retryAfterMs =
        CommandLine::parseDecimal(parser.value(o.retryAfter), 1, int(LongestTimeoutSeconds * 1000));
    if (!retries)
        return usageError(QStringLiteral("--retries wants a whole number from 0 to %1, not \"%2\"")
                              .arg(MostRetries)
                              .arg(parser.value(o.retries)));
    if (!retryAfterMs)
        return usageError(QStringLiteral("--retry-after wants a number of ms above 0, not \"%1\"")
                              .arg(parser.value(o.retryAfter)));
    run.session.replyTimeoutMs = *timeoutMs;
    run.session.retries = *retries;
    run.session.retryAfterMs = *retryAfterMs;

    QString error;
    const std::optional<QVector<DeviceTarget>> devices =
        readDeviceList(parser.values(o.device), parser.values(o.devicesFrom), &error);
    if (!devices)
        return usageError(error);
    if (devices->isEmpty())
        return usageError(QStringLiteral("%1 wants at least one --device").arg(command));

    QByteArray image;
    if (upload) {
        if (const int refused =
                loadUploadImage(arguments.constFirst(), parser.isSet(o.force), &image))
            return refused;
    }
    const DeviceSession::Operation operation = upload ? DeviceSession::Operation::Upload
                                               : command == QLatin1String("check")
                                                   ? DeviceSession::Operation::Check
                                                   : DeviceSession::Operation::StartApplication;
    return runSessions(operation, image, *devices, run);
}
