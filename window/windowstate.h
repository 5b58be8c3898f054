#pragma once

#include "core/conversation.h"

#include <QtGlobal>

// Everything that drives the window: clicks, classified replies, timer expiries.
enum EventCode : quint8 {
    EvUpload = 1,
    EvStartApp = 2,
    EvReplyOk = 3,
    EvReplyFail = 4,
    EvLinkTimeout = 5,
    EvCheck = 6,
    EvStop = 7,
    EvSequenceMismatch = 8,
    EvKeepAlive = 9,
    EvPingTick = 12,
    EvStrayReply = 13, // a verdict nothing waits for, or anything while the link is down
};

// Bytes of the current upload already sent in "Write" commands. Process-wide, as devices and
// the window's one upload agree on it; it keeps its count when an upload ends or is abandoned.
extern quint32 uploadOffset;
