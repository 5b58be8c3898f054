#pragma once

#include "core/protocol.h"

#include <QByteArray>

// How the simulated bootloader answers.
//
// Reply, four bytes:
//   byte 0  ReplyMarker (0x02), so a reply never reads as a command
//   byte 1  the sequence byte of the command answered
//   byte 2  which command was answered (SimCommand; 0 for an unknown name)
//   byte 3  status
//
// Status  Meaning
//   0x73  keep-alive: the answer to Ping
//   0xAC  success
//   0x01  Write refused: no upload in progress (no Start yet, or ended, or abandoned)
//   0x02  Write refused: it would take the upload past 917504 bytes; nothing is kept
//   0x03  End or Check: the bytes held are not one valid 917504-byte image
//   0x04  refused because --fail names the command; the command has no effect
//   0x05  request with an unknown name

constexpr quint8 ReplyMarker = 0x02;
constexpr int ReplySize = 4;
constexpr int ReplyCommandOffset = 2;

namespace SimStatus {
constexpr quint8 WriteWithoutStart = 0x01;
constexpr quint8 WritePastImageEnd = 0x02;
constexpr quint8 InvalidImage = 0x03;
constexpr quint8 ForcedFailure = 0x04;
constexpr quint8 UnknownCommand = 0x05;
} // namespace SimStatus

enum class SimCommand : quint8 {
    Unknown = 0,
    Ping = 1,
    Start = 2,
    Write = 3,
    End = 4,
    Check = 5,
    StartApplication = 6,
};

SimCommand simCommandFromName(const QByteArray &name);

// The names --fail accepts: the commands that are answered.
bool isAnsweredCommandName(const QByteArray &name);

QByteArray simReply(SimCommand command, quint8 sequence, quint8 status);
