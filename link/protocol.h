#pragma once

#include <QtGlobal>

// Wire vocabulary of the device's UDP bootloader.

enum CommandType : quint8 {
    CmdNotice = 1,  // nothing waits for an answer
    CmdRequest = 3, // the answer must echo the sequence byte
};

constexpr int DatagramBufferSize = 1024;
constexpr int CommandHeaderSize = 3; // type, sequence, name length
constexpr quint8 KeepAliveCode = 0x73;
constexpr quint8 ReplyOkCode = 0xAC;
constexpr quint16 DefaultDevicePort = 31120;

// Reply byte positions that carry meaning; the others are the device's own business.
constexpr int ReplySequenceOffset = 1;
constexpr int ReplyStatusOffset = 3;
