#pragma once

#include "session/sessionlimits.h"

#include <QString>
#include <QStringList>
#include <optional>

// What `station` is told, from its command line or from a config file, before it is checked.
// Each value keeps the name it is refused under: "--timeout", or "FILE:LINE: TIMEOUT".
struct StationInput
{
    using Value = SessionLimits::Value;

    QString image;
    QStringList devices;     // DEVICE texts
    QStringList devicesFrom; // list files
    QString devicesWhere;    // where a config file names them, as "FILE:LINE: "
    QString interface;       // of each device that names none
    std::optional<Value> retries;
    std::optional<Value> retryAfter;
    std::optional<Value> timeout;
    std::optional<Value> goneAfter;
    bool noStart = false;
    bool force = false;
    std::optional<Value> expectSha256;
    std::optional<Value> name;
    std::optional<Value> metrics; // a path
};

// Reads a station config file: UTF-8, one KEY=value a line, '#' comment lines and blank lines,
// no quotes, no spaces around '='. Keys IMAGE (required), DEVICES (DEVICE entries separated by
// spaces) or DEVICES_FROM (exactly one of them), RETRIES, RETRY_AFTER, TIMEOUT, GONE_AFTER,
// NO_START and FORCE (yes or no), IMAGE_SHA256, NAME and METRICS. Relative paths are taken from the
// file's folder. On refusal returns nullopt with "FILE:LINE: reason" ("FILE: reason" for a missing
// file or key).
std::optional<StationInput> readStationConfig(const QString &path, QString *error);
