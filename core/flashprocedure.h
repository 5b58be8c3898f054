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

// The upload and check procedure, one command outstanding at a time: what a reply means in
// each stage and what goes out next. No sockets, timers or widgets: the window and the CLI
// keep the stage and the offset, send what a step says and show its verdict their own way.
// An upload opens with "Start" (StageErasing), a check with "Check" (StageChecking).
namespace FlashProcedure {

enum class Verdict { None, UploadSucceeded, UploadFailed, CheckPassed, CheckFailed };

enum class Action {
    Wait,      // the reply changes nothing
    SendBlock, // send "Write" with blockLength() bytes at the offset, then advance the offset
    SendEnd,   // every byte is acknowledged: send "End"
    Finish,    // the operation is over with the step's verdict
};

struct Step
{
    Action action = Action::Wait;
    UploadStage stage = StageIdle; // the stage after the step
    Verdict verdict = Verdict::None;
    // The share of the image now acknowledged, for a reply that moves the progress; -1 for one
    // that does not (the reply to "Start" leaves it at the 0 the upload began with).
    int percent = -1;
};

struct Block
{
    quint32 offset = 0;
    int length = 0;
};

// What a success or failure reply to the command outstanding in `stage` means, with `offset`
// bytes of an `imageSize`-byte image already sent. A refused "Start" or "Write" ends the
// upload at once: the device will not send the success it already refused.
Step onReply(UploadStage stage, bool success, quint32 offset, int imageSize);

// The bytes of the next "Write": one block, or what is left of the image.
int blockLength(quint32 offset, int imageSize);

// The next "Write"'s block at `*offset`; moves `*offset` past it, to the bytes sent so far.
Block takeBlock(quint32 *offset, int imageSize);

// The share of the image acknowledged, as the progress bar shows it: rounded down, 100 only
// once every byte is sent.
int percent(quint32 offset, int imageSize);

// The verdict in the operator's words, without the window's "Connected. ".
const char *verdictText(Verdict verdict);

bool isFailure(Verdict verdict);

// "StageWriting" and so on, for logs and test output.
const char *stageName(UploadStage stage);

} // namespace FlashProcedure
