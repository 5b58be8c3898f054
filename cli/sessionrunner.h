#pragma once

#include "cli/devicesession.h"
#include "cli/devicetarget.h"

#include <QVector>

struct RunOptions
{
    DeviceSession::Settings session;
    bool quiet = false;
    bool verbose = false;
    bool json = false;
};

// Runs one session per device in this one event loop and reports each. Returns the exit
// status: the worst device's, 130 or 143 after SIGINT or SIGTERM, 4 when the report could not
// be written.
int runSessions(DeviceSession::Operation operation, const QByteArray &image,
                const QVector<DeviceTarget> &devices, const RunOptions &options);
