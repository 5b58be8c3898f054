#pragma once

#include <QString>
#include <functional>

class QObject;

// SIGINT and SIGTERM (and SIGHUP where asked for) for the command-line programs, delivered in the
// event loop through a self-pipe: the signal handler only writes the signal's number to a pipe. One
// pipe and one handler serve the whole process, however often handlers are added.
namespace TerminationSignals {

// Calls `handler` with the signal's number, in the event loop, for each SIGINT or SIGTERM for
// as long as `context` lives. A SIGINT the program was started with ignored (a background job
// of a non-interactive shell) stays ignored, as shells expect of their children. Call after the
// QCoreApplication exists.
bool onSignal(QObject *context, const std::function<void(int)> &handler, QString *error);

// Calls `handler` in the event loop for each SIGHUP for as long as `context` lives; until
// then SIGHUP ends the process, as it does by default.
bool onHangUp(QObject *context, const std::function<void()> &handler, QString *error);

// Makes SIGINT and SIGTERM end the event loop through the normal path.
bool quitOnSignal(QString *error);

} // namespace TerminationSignals
