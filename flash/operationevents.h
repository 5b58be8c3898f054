#pragma once

#include <QtGlobal>

// Which operation runs and which command is outstanding.
enum UploadStage : quint8 {
    StageIdle = 0,
    StageErasing = 1,   // "Start" outstanding
    StageWriting = 2,   // the last "Write" outstanding
    StageChecking = 3,  // "Check" outstanding
    StageFinishing = 4, // "End" outstanding
};

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
};

// Bytes of the current upload already sent in "Write" commands. Process-wide, as devices and
// the window's one upload agree on it; it keeps its count when an upload ends or is abandoned.
extern quint32 uploadOffset;
