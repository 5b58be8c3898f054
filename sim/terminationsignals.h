#pragma once

#include <QString>

// Makes SIGINT and SIGTERM end the event loop cleanly, so the program exits 0 through the
// normal path. Call once, after the QCoreApplication exists.
bool quitOnTerminationSignals(QString *error);
