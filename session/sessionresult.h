#pragma once

#include "session/devicesession.h"

#include <QString>

// How a session's operation and outcome are named in reports and journals, and what exit
// status the outcome counts as (Output::ExitCode).
QString operationName(DeviceSession::Operation operation);
QString resultText(DeviceSession::Result result);
int exitCodeFor(DeviceSession::Result result);
