#include "cli/commandlineoptions.h"

#include "cli/filecommands.h"
#include "core/commandline.h"
#include "core/quotedinput.h"
#include "posix/output.h"
#include "session/devicelist.h"
#include "session/imagepin.h"
#include "session/sessionlimits.h"
#include "session/uploadimage.h"

#include <QFileInfo>

namespace {

constexpr int DefaultTimeoutSeconds = 30;
constexpr int DefaultRetryAfterMs = 250;
constexpr int MostBoards = 1000000000;

const char Description[] =
    R"(Uploads firmware to devices whose bootloader answers on UDP, checks or starts
the application they hold, and turns a raw build output into an uploadable image.

Commands:
  postbuild INPUT [--output FILE]
      Pads INPUT (a .bin file of at most 917500 bytes) with 0xFF to 917500 bytes and
      appends its checksum: a 917504-byte image, written to FILE (default target.bin in
      the working directory; it must end in .bin and be a regular file if it exists).
      FILE is only ever replaced whole, so an earlier FILE stays as it was if anything
      fails; where its folder is not writable, postbuild refuses and writes nothing.
  inspect IMAGE...
      Says, for each image, its size, the stored checksum and the one computed over
      the 917500-byte body, how many 0xFF bytes end the body, and whether a device
      would accept it: valid, wrong size or checksum mismatch.
  upload IMAGE --device DEVICE... [--check] [--start]
      Uploads IMAGE (a .bin file of exactly 917504 bytes) to each device. An image
      whose checksum does not match is refused before anything is sent, since "Start"
      erases the device, which would then refuse the image; --force sends it anyway.
      After a successful upload, --check asks the device to check the image and
      --start starts the application (with --check, only once the check passed).
  check --device DEVICE... [--start]
  check IMAGE --expect-sha256 HEX --device DEVICE... [--start]
      Asks each device to check the application it holds; --start starts it if the
      check passed. A device cannot tell which image it holds: with --expect-sha256
      the image meant to be there is named, and refused unless it is the pinned one.
  start --device DEVICE...
      Tells each device to start its application (a notice: nothing answers it),
      without checking it first: upload --check --start or check --start do.
  station IMAGE --device DEVICE... --journal FILE
  station --config FILE --journal FILE
      Runs a production fixture: each device is a slot. A slot pings once a second
      until a board answers, uploads IMAGE to it (checked first, as upload does), asks
      it to check the image and starts it (unless --no-start), appends one JSON line
      to the journal FILE, then waits until the address has been silent for
      --gone-after seconds (the board was removed) before it takes the next board.
      Runs until --count boards are done or a signal: the first SIGINT or SIGTERM
      lets boards in progress finish, a second interrupts them. A terminal shows a
      line per slot and the totals; --json also puts the records and slot events on
      stdout. --config reads IMAGE, DEVICES or DEVICES_FROM, RETRIES, RETRY_AFTER,
      TIMEOUT, GONE_AFTER, NO_START, FORCE, IMAGE_SHA256, NAME and METRICS
      (KEY=value lines) from a file. Board numbers go on from the journal's last
      record for each slot. --metrics writes the Prometheus text format after each
      board and slot change, for node_exporter's textfile collector.

--expect-sha256 pins the image (upload, check, station): another image is refused
before anything is sent (exit status 2), with both fingerprints; inspect shows it.

DEVICE is IPV4[:PORT], IPV6 or [IPV6]:PORT, as numbers (names are not looked up;
IPv4 as four decimal parts without leading zeros); the port defaults to 31120.
DEVICE@INTERFACE (or --interface for every device that names none) sends only out
of that network interface: a fixture's identical boards at one address, each on a
port of its own, are told apart ([fe80::1%eth1]:31120 for IPv6 link-local).
Give --device several times, or --devices-from a file with one DEVICE a line, to serve
devices in parallel. Each device gets one summary line on stdout: device, result,
seconds, detail; with --json, stdout carries JSON Lines instead. Progress and messages
go to stderr. Only datagrams from the device's own address and port count.

Each reply, keep-alive answers included, must come within --timeout seconds. A device
without a keep-alive answer for 12 seconds is lost, whatever --timeout says. With
--retries, a request unanswered after --retry-after ms is sent again, byte for byte
with the same sequence number: the device must answer a repeated request again
without applying it twice (bootloader-sim does). Each further repeat waits twice as
long as the one before, the last one possible going out --retry-after ms before
--timeout runs out (--retry-after 200 --timeout 5: 0.2, 0.6, 1.4, 3.0, 4.8 s), so
that a reply lost during a long erase is asked for again. With --retries, a reply for
any other request than the outstanding one is a late duplicate: dropped and counted
(late_replies), never the end of the session.

SIGINT or SIGTERM ends the run: each device with an operation in progress is sent an
"End" notice and reported "interrupted".

Exit status:
  0    every device succeeded (inspect: every image is valid)
  1    a device answered with a failure verdict: End or Check failed, Start or Write
       refused (inspect: an image is not valid)
  2    usage error, a file was refused or unreadable, or a device is in use by
       another program (nothing was sent)
  3    no answer, nothing listening, link lost, a reply timed out, or a reply carried
       the wrong sequence number
  4    every device succeeded, but the report could not be written to stdout
       (or only in part) or the --log-file log could not be written (station: the
       journal could not be opened or written)
  130  interrupted by SIGINT; 143 by SIGTERM (station: by a second one)
With several devices the worst one counts: 3 over 1 over 0. A device's failure (1, 3)
wins over a report that could not be written (that is said on stderr).)";

} // namespace

CliOptions::CliOptions()
    : device({"d", "device"}, "upload, check, start, station: a device to serve; may be repeated.",
             "device"),
      interface("interface",
                "upload, check, start, station: the network interface of every device that "
                "names none.",
                "name"),
      devicesFrom("devices-from",
                  "upload, check, start, station: devices from a file, one a line; - for stdin.",
                  "file"),
      timeout({"t", "timeout"},
              QStringLiteral("upload, check, start, station: longest wait for each reply, in "
                             "seconds "
                             "(default %1).")
                  .arg(DefaultTimeoutSeconds),
              "seconds", QString::number(DefaultTimeoutSeconds)),
      retries("retries",
              "upload, check, station: send an unanswered request again up to n times (default 0).",
              "n", "0"),
      retryAfter("retry-after",
                 QStringLiteral(
                     "with --retries: ms to wait for a reply before sending again (default %1).")
                     .arg(DefaultRetryAfterMs),
                 "ms", QString::number(DefaultRetryAfterMs)),
      force("force", "upload, station: send an image whose checksum does not match."),
      checkAfter("check", "upload: ask each device to check the image after the upload."),
      startAfter("start", "upload, check: start the application once all else succeeded."),
      journal("journal", "station: the journal to append a record to per board.", "file"),
      config("config", "station: read the image, devices and limits from a file.", "file"),
      goneAfter("gone-after",
                QStringLiteral("station: seconds of silence after which a board counts as "
                               "removed (default %1, at least %2).")
                    .arg(DefaultGoneAfterSeconds)
                    .arg(ShortestGoneAfterSeconds),
                "seconds"),
      count("count", "station: stop after n boards.", "n"),
      noStart("no-start", "station: do not start the application after the check."),
      output({"o", "output"}, "postbuild: the image file to write (default target.bin).", "file",
             "target.bin"),
      json("json", "JSON Lines on stdout instead of summary lines."),
      logFile("log-file",
              "Append the link, flash and file log (as QT_LOGGING_RULES="
              "\"bootloader.*=true\" shows it on stderr) to a file.",
              "file"),
      quiet({"q", "quiet"}, "No progress lines or bars on stderr and no post-build success "
                            "line; summary lines and errors are still printed."),
      verbose({"v", "verbose"}, "One line per command with its round-trip time."),
      expectSha256("expect-sha256",
                   "upload, check, station: refuse an image whose SHA-256 is not hex.", "hex"),
      name("name", "station: the station's name in its records (default: the host name).", "name"),
      metrics("metrics", "station: keep Prometheus metrics in a file (textfile collector).", "file")
{
}

const char *CliOptions::description()
{
    return Description;
}

QList<QCommandLineOption> CliOptions::list() const
{
    return {device,  interface,    devicesFrom, timeout, retries, retryAfter,
            force,   checkAfter,   startAfter,  journal, config,  goneAfter,
            count,   noStart,      output,      json,    logFile, quiet,
            verbose, expectSha256, name,        metrics};
}

std::variant<CliCommand, QString> CliOptions::check(const QCommandLineParser &parser) const
{
    QStringList arguments = parser.positionalArguments();
    if (arguments.isEmpty())
        return QStringLiteral("no command given");
    const QString command = arguments.takeFirst();
    CliCommand checked;
    checked.run.quiet = parser.isSet(quiet);
    checked.run.verbose = parser.isSet(verbose);
    checked.run.json = parser.isSet(json);
    if (checked.run.quiet && checked.run.verbose)
        return QStringLiteral("--quiet and --verbose exclude each other");
    for (const QCommandLineOption *option :
         {&journal, &config, &goneAfter, &count, &noStart, &name, &metrics}) {
        if (command != QLatin1String("station") && parser.isSet(*option))
            return QStringLiteral("--%1 is for station only").arg(option->names().constLast());
    }
    if (command == QLatin1String("station"))
        return checkStation(parser, arguments, checked);
    if (command == QLatin1String("postbuild") || command == QLatin1String("inspect"))
        return checkFileCommand(parser, command, arguments, checked);
    return checkDeviceCommand(parser, command, arguments, checked);
}

std::variant<CliCommand, QString> CliOptions::checkFileCommand(const QCommandLineParser &parser,
                                                               const QString &command,
                                                               const QStringList &arguments,
                                                               CliCommand checked) const
{
    for (const QCommandLineOption *option :
         {&device, &interface, &devicesFrom, &timeout, &retries, &retryAfter, &force, &checkAfter,
          &startAfter, &expectSha256}) {
        if (parser.isSet(*option))
            return QStringLiteral("%1 takes no --%2").arg(command, option->names().constLast());
    }
    const bool postbuild = command == QLatin1String("postbuild");
    if (postbuild && arguments.size() != 1)
        return QStringLiteral("postbuild wants one file");
    if (!postbuild && arguments.isEmpty())
        return QStringLiteral("inspect wants at least one file");
    if (!postbuild && parser.isSet(output))
        return QStringLiteral("--output is for postbuild only");
    checked.kind = postbuild ? CliCommand::Kind::PostBuild : CliCommand::Kind::Inspect;
    checked.files = arguments;
    checked.output = parser.value(output);
    return checked;
}

std::optional<QString> CliOptions::checkSteps(const QCommandLineParser &parser,
                                              CliCommand *checked) const
{
    const bool upload = checked->kind == CliCommand::Kind::Upload;
    if (parser.isSet(output))
        return QStringLiteral("--output is for postbuild only");
    if (!upload && parser.isSet(force))
        return QStringLiteral("--force is for upload and station only");
    if (!upload && parser.isSet(checkAfter))
        return QStringLiteral("--check is for upload only");
    if (checked->kind == CliCommand::Kind::Start && parser.isSet(startAfter))
        return QStringLiteral("--start is for upload and check");
    if (parser.isSet(checkAfter))
        checked->run.nextSteps << DeviceSession::Operation::Check;
    if (parser.isSet(startAfter))
        checked->run.nextSteps << DeviceSession::Operation::StartApplication;
    checked->force = parser.isSet(force);
    return std::nullopt;
}

std::optional<QString> CliOptions::checkPin(const QCommandLineParser &parser,
                                            const QStringList &arguments, CliCommand *checked) const
{
    const bool upload = checked->kind == CliCommand::Kind::Upload;
    const bool pinned = parser.isSet(expectSha256);
    // A device answers a check with valid or not, never with which image it holds: a pinned
    // check names the image meant to be there, and that file is what the pin is held to.
    const bool check = checked->kind == CliCommand::Kind::Check;
    if (pinned && !upload && !check)
        return QStringLiteral("--expect-sha256 is for upload, check and station");
    if (check && pinned && arguments.size() != 1)
        return QStringLiteral("check --expect-sha256 wants the image meant to be on the "
                              "devices named: check IMAGE --expect-sha256 HEX");
    if (!upload && !pinned && !arguments.isEmpty())
        return QStringLiteral("%1 takes no file").arg(parser.positionalArguments().constFirst());
    if (upload && arguments.size() != 1)
        return QStringLiteral("upload wants one file");
    if (!pinned)
        return std::nullopt;
    const std::optional<QString> hex = ImagePin::parse(parser.value(expectSha256));
    if (!hex)
        return SessionLimits::refusal({parser.value(expectSha256), "--expect-sha256"},
                                      ImagePin::wants());
    checked->expectSha256 = *hex;
    return std::nullopt;
}

std::variant<CliCommand, QString> CliOptions::checkDeviceCommand(const QCommandLineParser &parser,
                                                                 const QString &command,
                                                                 const QStringList &arguments,
                                                                 CliCommand checked) const
{
    const bool upload = command == QLatin1String("upload");
    if (upload)
        checked.kind = CliCommand::Kind::Upload;
    else if (command == QLatin1String("check"))
        checked.kind = CliCommand::Kind::Check;
    else if (command == QLatin1String("start"))
        checked.kind = CliCommand::Kind::Start;
    else
        return QStringLiteral("unknown command %1").arg(quotedInput(command));
    if (const std::optional<QString> refused = checkPin(parser, arguments, &checked))
        return *refused;
    if (const std::optional<QString> refused = checkSteps(parser, &checked))
        return *refused;
    const auto given = [&parser](const QCommandLineOption &option) {
        return std::optional<SessionLimits::Value>(
            {parser.value(option), "--" + option.names().constLast()});
    };
    QString error;
    if (!SessionLimits::checkSessionValues(given(timeout), given(retries), given(retryAfter),
                                           &checked.run.session, &error))
        return error;
    checked.files = arguments;
    const std::optional<QVector<DeviceTarget>> devices = readDeviceList(
        parser.values(device), parser.values(devicesFrom), &error, parser.value(interface));
    if (!devices)
        return error;
    if (devices->isEmpty())
        return QStringLiteral("%1 wants at least one --device").arg(command);
    checked.devices = *devices;
    return checked;
}

std::variant<CliCommand, QString> CliOptions::checkStation(const QCommandLineParser &parser,
                                                           const QStringList &arguments,
                                                           CliCommand checked) const
{
    checked.kind = CliCommand::Kind::Station;
    StationRun &station = checked.station;
    if (parser.isSet(output))
        return QStringLiteral("--output is for postbuild only");
    if (checked.run.verbose)
        return QStringLiteral("station takes no --verbose");
    if (parser.isSet(checkAfter) || parser.isSet(startAfter))
        return QStringLiteral("station checks and starts each board (--no-start: not started)");
    if (!parser.isSet(journal))
        return QStringLiteral("station wants --journal FILE");
    station.journal = parser.value(journal);
    station.json = checked.run.json;
    station.quiet = checked.run.quiet;
    if (parser.isSet(count)) {
        const std::optional<int> boards =
            CommandLine::parseDecimal(parser.value(count), 1, MostBoards);
        if (!boards)
            return QStringLiteral("--count wants a whole number above 0, not %1")
                .arg(quotedInput(parser.value(count)));
        station.count = *boards;
    }
    if (parser.isSet(config))
        return checkStationConfig(parser, arguments, checked);
    if (arguments.size() != 1)
        return QStringLiteral("station wants one file");
    StationInput &input = station.input;
    input.image = arguments.constFirst();
    input.devices = parser.values(device);
    input.devicesFrom = parser.values(devicesFrom);
    input.interface = parser.value(interface);
    const auto value = [&parser](const QCommandLineOption &option) {
        return parser.isSet(option) ? std::optional<StationInput::Value>(
                                          {parser.value(option), "--" + option.names().constLast()})
                                    : std::nullopt;
    };
    input.timeout = value(timeout);
    input.retries = value(retries);
    input.retryAfter = value(retryAfter);
    input.goneAfter = value(goneAfter);
    input.noStart = parser.isSet(noStart);
    input.force = parser.isSet(force);
    input.expectSha256 = value(expectSha256);
    input.name = value(name);
    input.metrics = value(metrics);
    QString error;
    std::optional<StationSettings> settings = checkStationInput(input, &error);
    if (!settings)
        return error;
    station.settings = *settings;
    return checked;
}

std::variant<CliCommand, QString> CliOptions::checkStationConfig(const QCommandLineParser &parser,
                                                                 const QStringList &arguments,
                                                                 CliCommand checked) const
{
    // The file is read when the station runs; it alone says what it says.
    for (const QCommandLineOption *option :
         {&device, &interface, &devicesFrom, &timeout, &retries, &retryAfter, &force, &goneAfter,
          &noStart, &expectSha256}) {
        if (parser.isSet(*option))
            return QStringLiteral("with --config, --%1 is for the config file to say")
                .arg(option->names().constLast());
    }
    if (!arguments.isEmpty())
        return QStringLiteral("with --config, IMAGE is for the config file to say");
    checked.station.config = parser.value(config);
    // The unit names its instance and its metrics file; the file may say the same.
    if (parser.isSet(name))
        checked.station.input.name = StationInput::Value{parser.value(name), "--name"};
    if (parser.isSet(metrics))
        checked.station.input.metrics =
            StationInput::Value{QFileInfo(parser.value(metrics)).absoluteFilePath(), "--metrics"};
    return checked;
}

std::variant<CliCommand, QString> parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    const CliOptions options;
    parser.addOptions(options.list());
    if (!parser.parse(arguments))
        return parser.errorText();
    return options.check(parser);
}

int runCommand(const CliCommand &command)
{
    using Output::ExitReportLost;
    switch (command.kind) {
    case CliCommand::Kind::PostBuild:
    case CliCommand::Kind::Inspect: {
        const int status =
            command.kind == CliCommand::Kind::PostBuild
                ? postBuild(command.files.constFirst(), command.output, command.run.quiet)
                : inspect(command.files, command.run.json);
        return Output::reportWritten() ? status : qMax(status, int(ExitReportLost));
    }
    case CliCommand::Kind::Upload:
    case CliCommand::Kind::Check: {
        const bool upload = command.kind == CliCommand::Kind::Upload;
        QByteArray image;
        RunOptions run = command.run;
        if (!command.files.isEmpty()) {
            const QString &file = command.files.constFirst();
            int refused = loadUploadImage(file, command.force || !upload, &image);
            if (!refused)
                refused = ImagePin::refuseOther(file, image, command.expectSha256);
            if (refused)
                return Output::withReport(refused);
            run.imageSha256 = ImagePin::sha256(image);
        }
        return runSessions(upload ? DeviceSession::Operation::Upload
                                  : DeviceSession::Operation::Check,
                           upload ? image : QByteArray(), command.devices, run);
    }
    case CliCommand::Kind::Start:
        return runSessions(DeviceSession::Operation::StartApplication, {}, command.devices,
                           command.run);
    case CliCommand::Kind::Station:
        return runStation(command.station);
    }
    return Output::ExitUsage;
}
