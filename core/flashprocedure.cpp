#include "core/flashprocedure.h"

#include "core/firmwareimage.h"

namespace FlashProcedure {

Step onReply(UploadStage stage, bool success, quint32 offset, int imageSize)
{
    switch (stage) {
    case StageIdle:
        break;
    case StageErasing:
        if (!success)
            return {Action::Finish, StageIdle, Verdict::UploadFailed};
        // Only a whole image starts an upload; anything shorter has no block to send.
        if (imageSize >= WriteBlockSize)
            return {Action::SendBlock, StageWriting, Verdict::None};
        break;
    case StageWriting:
        if (!success)
            return {Action::Finish, StageIdle, Verdict::UploadFailed};
        if (offset >= quint32(imageSize))
            return {Action::SendEnd, StageFinishing, Verdict::None, 100};
        return {Action::SendBlock, StageWriting, Verdict::None, percent(offset, imageSize)};
    case StageFinishing:
        return {Action::Finish, StageIdle,
                success ? Verdict::UploadSucceeded : Verdict::UploadFailed};
    case StageChecking:
        return {Action::Finish, StageIdle, success ? Verdict::CheckPassed : Verdict::CheckFailed};
    }
    return {Action::Wait, stage, Verdict::None};
}

int blockLength(quint32 offset, int imageSize)
{
    const qint64 left = qint64(imageSize) - qint64(offset);
    return int(qBound(qint64(0), left, qint64(WriteBlockSize)));
}

Block takeBlock(quint32 *offset, int imageSize)
{
    const Block block{*offset, blockLength(*offset, imageSize)};
    *offset += quint32(block.length);
    return block;
}

int percent(quint32 offset, int imageSize)
{
    const quint32 size = quint32(imageSize);
    return offset >= size ? 100 : int(offset * 100u / size);
}

const char *verdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::UploadSucceeded:
        return "Uploading has been completed successful!";
    case Verdict::UploadFailed:
        return "Uploaded with error :(";
    case Verdict::CheckPassed:
        return "Checked successful!";
    case Verdict::CheckFailed:
        return "Application is wrong!";
    case Verdict::None:
        break;
    }
    return "";
}

bool isFailure(Verdict verdict)
{
    return verdict == Verdict::UploadFailed || verdict == Verdict::CheckFailed;
}

const char *stageName(UploadStage stage)
{
    switch (stage) {
    case StageIdle:
        return "StageIdle";
    case StageErasing:
        return "StageErasing";
    case StageWriting:
        return "StageWriting";
    case StageChecking:
        return "StageChecking";
    case StageFinishing:
        return "StageFinishing";
    }
    return "?";
}

} // namespace FlashProcedure
