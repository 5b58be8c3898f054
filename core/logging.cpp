#include "core/logging.h"

#include "core/datagram.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>

Q_LOGGING_CATEGORY(lcLink, "bootloader.link", QtWarningMsg)
Q_LOGGING_CATEGORY(lcFlash, "bootloader.flash", QtWarningMsg)
Q_LOGGING_CATEGORY(lcFile, "bootloader.file", QtWarningMsg)

namespace {

QFile *logFile = nullptr;
QtMessageHandler previousHandler = nullptr;

// The tool's own log goes to the file alone: --log-file switched it on for the file, not for
// the terminal. Everything else (Qt's warnings) goes where it always goes.
void copyingHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (!context.category || qstrncmp(context.category, "bootloader.", 11) != 0) {
        previousHandler(type, context, text);
        return;
    }
    static QMutex mutex;
    QMutexLocker lock(&mutex);
    logFile->write(qFormatLogMessage(type, context, text).toUtf8() + '\n');
    logFile->flush();
}

} // namespace

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

bool writeToFile(const QString &path, QString *error)
{
    auto *file = new QFile(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append)) {
        *error = file->errorString();
        delete file;
        return false;
    }
    logFile = file; // lives as long as the program: the handler may run until exit
    previousHandler = qInstallMessageHandler(copyingHandler);
    return true;
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
