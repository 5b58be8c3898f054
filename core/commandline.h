#pragma once

#include <QCommandLineParser>
#include <QString>
#include <optional>

// The start that bootloader-cli and bootloader-sim share: name and version, --help and
// --version, usage errors on stderr with exit status 2.
namespace CommandLine {

constexpr int UsageExitCode = 2;

// Names the program, adds --help, --version and `options` to `parser` and parses the
// arguments. Returns an exit status when the program should end at once: after --help or
// --version, or on a usage error (already printed).
std::optional<int> parse(QCommandLineParser &parser, const char *program, const char *description,
                         const QList<QCommandLineOption> &options);

// A whole number from `lowest` to `highest` written as plain decimal digits: a command line
// is exact, so no sign, no spaces (the window's port field is kinder).
std::optional<int> parseDecimal(const QString &text, int lowest, int highest);

// Prints "PROGRAM: message" and where to find help on stderr; returns UsageExitCode.
int usageError(const QString &message);

} // namespace CommandLine
