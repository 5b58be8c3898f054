#include "session/sessionresult.h"

#include "posix/output.h"

using namespace Output;

QString operationName(DeviceSession::Operation operation)
{
    switch (operation) {
    case DeviceSession::Operation::Upload:
        return QStringLiteral("upload");
    case DeviceSession::Operation::Check:
        return QStringLiteral("check");
    case DeviceSession::Operation::StartApplication:
        return QStringLiteral("start");
    case DeviceSession::Operation::Watch:
        break;
    }
    return QString();
}

QString resultText(DeviceSession::Result result)
{
    switch (result) {
    case DeviceSession::Result::Succeeded:
        return QStringLiteral("ok");
    case DeviceSession::Result::Refused:
        return QStringLiteral("failed");
    case DeviceSession::Result::NoAnswer:
        return QStringLiteral("no answer");
    case DeviceSession::Result::NothingListens:
        return QStringLiteral("nothing listens");
    case DeviceSession::Result::LinkLost:
        return QStringLiteral("link lost");
    case DeviceSession::Result::TimedOut:
        return QStringLiteral("timed out");
    case DeviceSession::Result::SequenceMismatch:
        return QStringLiteral("sequence mismatch");
    case DeviceSession::Result::Interrupted:
        return QStringLiteral("interrupted");
    case DeviceSession::Result::Pending:
        break;
    }
    return QStringLiteral("unfinished");
}

int exitCodeFor(DeviceSession::Result result)
{
    switch (result) {
    case DeviceSession::Result::Succeeded:
        return ExitSucceeded;
    case DeviceSession::Result::Refused:
        return ExitRefused;
    default:
        return ExitLink;
    }
}
