#pragma once

#include "core/commandline.h"

#include <QByteArray>

// Where the tool's words go. stdout carries the report a script reads (summary lines or JSON),
// stderr progress and messages. A report that could not be written (a closed pipe, a full
// disk) must not pass for a complete one: the failure is kept for the exit status. So must a
// log that was cut short.
//
// A reader that pauses must not stall the devices: on a pipe, a socket or a terminal both are
// written without blocking, from the event loop, and what the reader has not taken yet is kept
// (up to 16 MiB of report; more is left out and the report counts as lost). Regular files and
// other devices are written at once, as they do not wait for a reader.
namespace Output {

enum ExitCode {
    ExitSucceeded = 0,
    ExitRefused = 1,
    ExitUsage = CommandLine::UsageExitCode, // also a refused file: nothing was sent
    ExitLink = 3,
    ExitReportLost = 4,
};

// Where the report and the messages go instead of stdout and stderr (tests read them from
// files); only before anything is kept for a reader.
void writeTo(int reportFd, int messagesFd);

void report(const QByteArray &text);
void message(const QByteArray &text);

// A signal ended the run: from now on nothing waits for a reader.
void stopWaiting();

// Hands what is kept to the readers, waiting for them in the event loop unless a signal
// came (stopWaiting(); a signal without a handler ends the process as usual). False, said on
// stderr, when any of the report or of the --log-file log could not be written.
bool reportWritten();

// The exit status once the report was handed over: a device's failure (or a signal) wins over a
// lost report, so 4 only replaces a success.
int withReport(int status);

} // namespace Output
