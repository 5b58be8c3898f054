#pragma once

#include "station/station.h"
#include "station/stationconfig.h"

#include <optional>

// The default and the shortest silence after which a slot's board counts as removed. Shorter
// than two pings, a board still answering would look gone between them.
constexpr double DefaultGoneAfterSeconds = 3;
constexpr double ShortestGoneAfterSeconds = 2;

// Checks what a station is told (limits, device addresses and lists, which it reads); nullopt
// with the reason, which names the option or the config file's line. The image is not read.
std::optional<StationSettings> checkStationInput(const StationInput &input, QString *error);

struct StationRun
{
    QString config;           // read and checked when the station runs; or
    StationInput input;       // the command line's,
    StationSettings settings; // checked
    QString journal;
    int count = 0;
    bool json = false;
    bool quiet = false;
};

// The `station` command: reads the config file (refused: "FILE:LINE: reason", exit 2) and the
// image (exit 2), opens the journal (exit 4) before anything is sent, then runs until `count`
// boards are done or signals stop it.
int runStation(StationRun run);
