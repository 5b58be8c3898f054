#include "core/commandline.h"
#include "core/deviceendpoint.h"
#include "core/logging.h"
#include "posix/terminationsignals.h"
#include "sim/devicesimulator.h"
#include "sim/simwire.h"

#include <QCoreApplication>
#include <cstdio>
#include <optional>

namespace {

constexpr int StartupFailedExitCode = 1;
constexpr int LongestDeviceTimeMs = 24 * 60 * 60 * 1000;

const char *const Description =
    R"(Plays a device's UDP bootloader on this machine, to try uploads against.

Commands: Ping (keep-alive), Start (erases, opens an upload), Write (appends up to 512
bytes), End (closes the upload, judges the image), Check (judges the image),
StartApplication (never answered). Notices are never answered; an End notice abandons
the upload in progress. Malformed datagrams are counted and ignored. A request with the
sequence number and name of the last request answered (Ping aside) is a retransmission:
it gets the same answer again and is not carried out twice; a repeat that comes while the
request is still being carried out (during --erase-ms or --delay-ms) gets no answer of its
own: the one answer goes out when the request is done.

Replies are four bytes: 0x02, the command's sequence byte, the command answered
(1 Ping, 2 Start, 3 Write, 4 End, 5 Check, 0 unknown), then the status:
  0x73  keep-alive (Ping)
  0xAC  success
  0x01  Write refused: no upload in progress
  0x02  Write refused: it would go past 917504 bytes
  0x03  End/Check: not a valid 917504-byte image
  0x04  forced by --fail (the command has no effect)
  0x05  unknown request name

With --save, every End request writes the bytes received since Start to the file,
whatever the verdict. Fault counters (--drop-every and the like) count every reply
the simulator would send, keep-alives included. At most 4096 replies wait for their
device time at once; more are dropped.)";

struct Options
{
    QCommandLineOption bind{"bind", "Address to listen on (default 127.0.0.1).", "addr",
                            "127.0.0.1"};
    QCommandLineOption allowNonLoopback{"allow-non-loopback",
                                        "Allow --bind to name an address other than loopback."};
    QCommandLineOption port{"port", "UDP port (default 31120; 0 picks a free one).", "n",
                            QString::number(DefaultDevicePort)};
    QCommandLineOption delay{"delay-ms", "Send each reply n ms after its command.", "n", "0"};
    QCommandLineOption erase{"erase-ms", "Erasing takes n more ms before Start is answered.", "n",
                             "0"};
    QCommandLineOption dropEvery{"drop-every", "Silently drop every nth reply.", "n", "0"};
    QCommandLineOption duplicateEvery{"duplicate-every", "Send every nth reply twice.", "n", "0"};
    QCommandLineOption wrongSeqEvery{"wrong-seq-every",
                                     "Every nth reply carries the sequence plus one.", "n", "0"};
    QCommandLineOption fail{"fail",
                            "Answer this command (Ping, Start, Write, End, Check) with status "
                            "0x04; may be repeated.",
                            "command"};
    QCommandLineOption silentAfter{"silent-after-ms", "Stop answering Ping n ms after start.", "n"};
    QCommandLineOption save{"save", "Write the received bytes to this file at each End.", "file"};
    QCommandLineOption verbose{{"v", "verbose"}, "One line per datagram on stderr."};
    QCommandLineOption quiet{{"q", "quiet"}, "Nothing on stderr but errors that stop the program."};
};

std::optional<int> readCount(const QCommandLineParser &parser, const QCommandLineOption &option,
                             int highest, QString *error)
{
    bool ok = false;
    const QString text = parser.value(option);
    const int value = text.toInt(&ok, 10);
    if (ok && value >= 0 && value <= highest)
        return value;
    *error = QStringLiteral("--%1 wants a whole number from 0 to %2, not \"%3\"")
                 .arg(option.names().constFirst())
                 .arg(highest)
                 .arg(text);
    return std::nullopt;
}

std::optional<SimulatorSettings> settingsFrom(const QCommandLineParser &parser,
                                              const Options &options, QString *error)
{
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument \"%1\"")
                     .arg(parser.positionalArguments().constFirst());
        return std::nullopt;
    }
    SimulatorSettings settings;

    if (!settings.bindAddress.setAddress(parser.value(options.bind))) {
        *error = QStringLiteral("--bind wants a numeric address, not \"%1\"")
                     .arg(parser.value(options.bind));
        return std::nullopt;
    }
    if (!settings.bindAddress.isLoopback() && !parser.isSet(options.allowNonLoopback)) {
        *error = QStringLiteral("refusing to listen on %1, which is not a loopback address "
                                "(add --allow-non-loopback to insist)")
                     .arg(settings.bindAddress.toString());
        return std::nullopt;
    }

    const int port = parsePortText(parser.value(options.port));
    if (port < 0) {
        *error = QStringLiteral("--port wants a number from 0 to 65535, not \"%1\"")
                     .arg(parser.value(options.port));
        return std::nullopt;
    }
    settings.port = quint16(port);

    const std::pair<const QCommandLineOption &, int &> counts[] = {
        {options.delay, settings.delayMs},
        {options.erase, settings.eraseMs},
        {options.dropEvery, settings.dropEvery},
        {options.duplicateEvery, settings.duplicateEvery},
        {options.wrongSeqEvery, settings.wrongSequenceEvery},
    };
    for (const auto &[option, target] : counts) {
        const std::optional<int> value = readCount(parser, option, LongestDeviceTimeMs, error);
        if (!value)
            return std::nullopt;
        target = *value;
    }
    if (parser.isSet(options.silentAfter)) {
        const std::optional<int> value =
            readCount(parser, options.silentAfter, LongestDeviceTimeMs, error);
        if (!value)
            return std::nullopt;
        settings.silentAfterMs = *value;
    }

    for (const QString &name : parser.values(options.fail)) {
        if (!isAnsweredCommandName(name.toLatin1())) {
            *error = QStringLiteral("--fail wants Ping, Start, Write, End or Check, not \"%1\"")
                         .arg(name);
            return std::nullopt;
        }
        settings.failCommands.insert(name.toLatin1());
    }

    settings.savePath = parser.value(options.save);
    settings.verbose = parser.isSet(options.verbose);
    settings.quiet = parser.isSet(options.quiet);
    if (settings.verbose && settings.quiet) {
        *error = QStringLiteral("--verbose and --quiet exclude each other");
        return std::nullopt;
    }
    return settings;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const Options options;
    if (const std::optional<int> exitCode = CommandLine::parse(
            parser, "bootloader-sim", Description,
            {options.bind, options.allowNonLoopback, options.port, options.delay, options.erase,
             options.dropEvery, options.duplicateEvery, options.wrongSeqEvery, options.fail,
             options.silentAfter, options.save, options.verbose, options.quiet}))
        return *exitCode;

    Logging::useTimestamps();
    QString error;
    const std::optional<SimulatorSettings> settings = settingsFrom(parser, options, &error);
    if (!settings)
        return CommandLine::usageError(error);

    if (settings->verbose) // the link log, one line per datagram
        Logging::enableAll();
    if (!TerminationSignals::quitOnSignal(&error)) {
        std::fprintf(stderr, "bootloader-sim: %s\n", qPrintable(error));
        return StartupFailedExitCode;
    }
    DeviceSimulator simulator(*settings);
    if (!simulator.listen(&error)) {
        std::fprintf(stderr, "bootloader-sim: cannot listen on %s:%u: %s\n",
                     qPrintable(settings->bindAddress.toString()), unsigned(settings->port),
                     qPrintable(error));
        return StartupFailedExitCode;
    }

    const QHostAddress bound = simulator.address();
    const QString shownAddress = bound.protocol() == QAbstractSocket::IPv6Protocol
                                     ? QStringLiteral("[%1]").arg(bound.toString())
                                     : bound.toString();
    // Scripts and tests wait for this line to learn the port: flush it at once.
    std::printf("bootloader-sim listening on %s:%u\n", qPrintable(shownAddress),
                unsigned(simulator.port()));
    std::fflush(stdout);

    QCoreApplication::exec();
    if (!settings->quiet)
        std::fprintf(stderr, "bootloader-sim: %s\n", qPrintable(simulator.summary()));
    return 0;
}
