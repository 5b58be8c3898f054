#pragma once

#include "core/protocol.h"

#include <QByteArray>
#include <QHostAddress>
#include <QSet>
#include <QString>

// How the simulated device behaves; filled from the command line.
struct SimulatorSettings
{
    QHostAddress bindAddress{QHostAddress::LocalHost};
    quint16 port = DefaultDevicePort; // 0: any free port
    int delayMs = 0;                  // device time before each reply
    int eraseMs = 0;                  // extra time before the reply to Start
    int dropEvery = 0;                // 0: never
    int dropAnswer = 0;               // the reply to the nth request but Ping; 0: none
    int duplicateEvery = 0;           // 0: never
    int wrongSequenceEvery = 0;       // 0: never
    QSet<QByteArray> failCommands;    // answered with SimStatus::ForcedFailure
    int silentAfterMs = -1;           // -1: Ping is answered for ever
    QString savePath;                 // empty: End saves nothing
    int swapMs = -1;                  // -1: the board stays; else away this long after
                                      // StartApplication, then a blank board answers
    bool verbose = false;
    bool quiet = false;
};
