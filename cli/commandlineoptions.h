#pragma once

#include "session/devicetarget.h"
#include "session/sessionrunner.h"
#include "station/stationrunner.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <variant>

// What bootloader-cli was asked to do, every option checked.
struct CliCommand
{
    enum class Kind { PostBuild, Inspect, Upload, Check, Start, Station };

    Kind kind = Kind::Inspect;
    QStringList files; // postbuild: the input; inspect: the images; upload: the image
    QString output;    // postbuild
    bool force = false;
    QString expectSha256; // upload, check: the pinned image's, in lower case; empty: none
    QVector<DeviceTarget> devices;
    RunOptions run;
    StationRun station;
};

// bootloader-cli's options and the checks between them; --help and --version are the
// command-line preamble's.
struct CliOptions
{
    CliOptions();

    static const char *description();
    QList<QCommandLineOption> list() const;

    // The command of an already parsed command line, or the usage error to show. Reads the
    // --devices-from files; no file given as an argument is opened yet.
    std::variant<CliCommand, QString> check(const QCommandLineParser &parser) const;

    QCommandLineOption device, interface, devicesFrom, timeout, retries, retryAfter, force,
        checkAfter, startAfter, journal, config, goneAfter, count, noStart, output, json, logFile,
        quiet, verbose, expectSha256, name, metrics;

private:
    std::variant<CliCommand, QString> checkFileCommand(const QCommandLineParser &parser,
                                                       const QString &command,
                                                       const QStringList &arguments,
                                                       CliCommand checked) const;
    std::variant<CliCommand, QString> checkDeviceCommand(const QCommandLineParser &parser,
                                                         const QString &command,
                                                         const QStringList &arguments,
                                                         CliCommand checked) const;
    std::variant<CliCommand, QString> checkStationConfig(const QCommandLineParser &parser,
                                                         const QStringList &arguments,
                                                         CliCommand checked) const;
    // --expect-sha256 and the files it asks for. The refusal, if any.
    std::optional<QString> checkPin(const QCommandLineParser &parser, const QStringList &arguments,
                                    CliCommand *checked) const;
    // --force, --check, --start: what runs after the operation. The refusal, if any.
    std::optional<QString> checkSteps(const QCommandLineParser &parser, CliCommand *checked) const;
    std::variant<CliCommand, QString> checkStation(const QCommandLineParser &parser,
                                                   const QStringList &arguments,
                                                   CliCommand checked) const;
};

// Parses `arguments` (the program's name first) and checks them, as bootloader-cli does.
std::variant<CliCommand, QString> parseCommandLine(const QStringList &arguments);

// Carries a checked command out; returns the exit status (Output::ExitCode, or 128 + a signal).
int runCommand(const CliCommand &command);
