#pragma once

#include "sim/simulatorsettings.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <optional>

// bootloader-sim's options and their checks, apart from --help and --version.
struct SimulatorOptions
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
    QCommandLineOption dropAnswer{"drop-answer",
                                  "Silently drop the reply to the nth request other than Ping "
                                  "(1: the first Start's), once.",
                                  "n"};
    QCommandLineOption duplicateEvery{"duplicate-every", "Send every nth reply twice.", "n", "0"};
    QCommandLineOption wrongSeqEvery{"wrong-seq-every",
                                     "Every nth reply carries the sequence plus one.", "n", "0"};
    QCommandLineOption fail{"fail",
                            "Answer this command (Ping, Start, Write, End, Check) with status "
                            "0x04; may be repeated.",
                            "command"};
    QCommandLineOption silentAfter{"silent-after-ms", "Stop answering Ping n ms after start.", "n"};
    QCommandLineOption swap{"swap-ms",
                            "After StartApplication, answer nothing for n ms, then play a new, "
                            "blank board: a fixture whose operator swaps boards.",
                            "n"};
    QCommandLineOption save{"save", "Write the received bytes to this file at each End.", "file"};
    QCommandLineOption verbose{{"v", "verbose"}, "One line per datagram on stderr."};
    QCommandLineOption quiet{{"q", "quiet"}, "Nothing on stderr but errors that stop the program."};

    QList<QCommandLineOption> list() const
    {
        return {bind,       allowNonLoopback, port,          delay, erase,       dropEvery,
                dropAnswer, duplicateEvery,   wrongSeqEvery, fail,  silentAfter, swap,
                save,       verbose,          quiet};
    }

    // The settings of an already parsed command line; nullopt with the usage error to show.
    std::optional<SimulatorSettings> settings(const QCommandLineParser &parser,
                                              QString *error) const;

private:
    bool checkAddress(const QCommandLineParser &parser, SimulatorSettings *settings,
                      QString *error) const;
    // Timing and injected faults.
    bool checkFaults(const QCommandLineParser &parser, SimulatorSettings *settings,
                     QString *error) const;
};

// Parses `arguments` (the program's name first) and checks them, as bootloader-sim does.
std::optional<SimulatorSettings> parseSimulatorArguments(const QStringList &arguments,
                                                         QString *error);
