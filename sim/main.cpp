#include "core/commandline.h"
#include "core/logging.h"
#include "posix/terminationsignals.h"
#include "sim/devicesimulator.h"
#include "sim/simulatoroptions.h"

#include <QCoreApplication>
#include <cstdio>
#include <optional>

namespace {

constexpr int StartupFailedExitCode = 1;

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
whatever the verdict. With --swap-ms, "StartApplication" sends the board into its
application: nothing is answered for n ms, then a new board sits in the slot (flash erased,
no upload, no sequence remembered) and stderr names it ("board 2 in the slot").
Fault counters (--drop-every and the like) count every reply the simulator would
send, keep-alives included; --drop-answer counts only the replies to other requests. At most 4096 replies wait for their device time at once;
more are dropped.)";

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const SimulatorOptions options;
    if (const std::optional<int> exitCode =
            CommandLine::parse(parser, "bootloader-sim", Description, options.list()))
        return *exitCode;

    Logging::useTimestamps();
    QString error;
    const std::optional<SimulatorSettings> settings = options.settings(parser, &error);
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
