#pragma once

#include "session/devicetarget.h"

#include <QStringList>
#include <QVector>
#include <optional>

// The devices of one run: each --device, then each line of each --devices-from file (one
// DEVICE a line, '#' starts a comment, blank lines are skipped, "-" is stdin). A device named
// twice is refused: two sessions would fight over one bootloader. `interface` is the one of
// each device that names none.
std::optional<QVector<DeviceTarget>> readDeviceList(const QStringList &devices,
                                                    const QStringList &files, QString *error,
                                                    const QString &interface = QString());
