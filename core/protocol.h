#pragma once

#include <QtGlobal>

// Wire vocabulary of the device's UDP bootloader.

enum CommandType : quint8 {
    CmdNotice = 1,  // nothing waits for an answer
    CmdRequest = 3, // the answer must echo the sequence byte
};

// Command names as they go on the wire.
namespace CommandName {
inline constexpr char Ping[] = "Ping";
inline constexpr char Start[] = "Start";
inline constexpr char Write[] = "Write";
inline constexpr char End[] = "End";
inline constexpr char Check[] = "Check";
inline constexpr char StartApplication[] = "StartApplication";
} // namespace CommandName

constexpr int DatagramBufferSize = 1024;
constexpr int CommandHeaderSize = 3; // type, sequence, name length
constexpr quint8 KeepAliveCode = 0x73;
constexpr quint8 ReplyOkCode = 0xAC;
constexpr quint16 DefaultDevicePort = 31120;

// Reply byte positions that carry meaning; the others are the device's own business.
constexpr int ReplySequenceOffset = 1;
constexpr int ReplyStatusOffset = 3;

// Link timing: a "Ping" about once a second keeps the link; 12 s without an answer lose it.
constexpr int PingIntervalMs = 1000;
constexpr int LinkTimeoutMs = 12000;
// A peer that answers notices must not drive an exchange at network speed.
constexpr int EndNoticeIntervalMs = 1000;
