#include "core/logging.h"

#include "core/datagram.h"

Q_LOGGING_CATEGORY(lcLink, "bootloader.link", QtWarningMsg)
Q_LOGGING_CATEGORY(lcFlash, "bootloader.flash", QtWarningMsg)
Q_LOGGING_CATEGORY(lcFile, "bootloader.file", QtWarningMsg)

namespace Logging {

void useTimestamps()
{
    if (qEnvironmentVariableIsEmpty("QT_MESSAGE_PATTERN"))
        qSetMessagePattern(
            QStringLiteral("%{time yyyy-MM-dd hh:mm:ss.zzz} %{category}: %{message}"));
}

void enableAll()
{
    QLoggingCategory::setFilterRules(QStringLiteral("bootloader.*=true"));
}

QString describeCommand(const char *data, qint64 length)
{
    const std::optional<Datagram::ParsedCommand> command = Datagram::parseCommand(data, length);
    if (!command)
        return QStringLiteral("malformed datagram len=%1").arg(length);
    return QStringLiteral("%1 %2 seq=%3 len=%4")
        .arg(QLatin1String(command->type == CmdNotice ? "notice" : "request"),
             QString::fromLatin1(command->name.left(40).toPercentEncoding(" ")))
        .arg(command->sequence)
        .arg(length);
}

QString describeReply(const char *data, qint64 length, qint64 roundTripUs)
{
    return QStringLiteral("in reply len=%1 seq=%2 status=0x%3 after %4 us")
        .arg(length)
        .arg(Datagram::replyByte(data, length, ReplySequenceOffset))
        .arg(Datagram::replyByte(data, length, ReplyStatusOffset), 2, 16, QLatin1Char('0'))
        .arg(roundTripUs);
}

} // namespace Logging
