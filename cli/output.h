#pragma once

#include "core/commandline.h"

#include <QByteArray>

// Where the tool's words go. stdout carries the report a script reads (summary lines or JSON),
// stderr progress and messages. A report that could not be written (a closed pipe, a full
// disk) must not pass for a complete one: the failure is kept for the exit status.
namespace Output {

enum ExitCode {
    ExitSucceeded = 0,
    ExitRefused = 1,
    ExitUsage = CommandLine::UsageExitCode, // also a refused file: nothing was sent
    ExitLink = 3,
    ExitReportLost = 4,
};

void report(const QByteArray &text);
void message(const QByteArray &text);

// Flushes the report; false, said on stderr, when any of it could not be written.
bool reportWritten();

} // namespace Output
