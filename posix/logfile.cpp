#include "posix/logfile.h"

#include <QFile>
#include <QLoggingCategory>
#include <QMutex>
#include <QMutexLocker>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int logFile = -1;
QString logError; // the first write that failed: the log is cut there
QtMessageHandler previousHandler = nullptr;

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

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
    if (!logError.isEmpty())
        return;
    const QByteArray line = qFormatLogMessage(type, context, text).toUtf8() + '\n';
    qsizetype done = 0;
    while (done < line.size()) {
        const ssize_t written =
            ::write(logFile, line.constData() + done, size_t(line.size() - done));
        if (written > 0)
            done += written;
        else if (written == 0 || errno != EINTR)
            break;
    }
    if (done < line.size())
        logError = systemError();
}

bool isRegularFile(int fd)
{
    struct stat status = {};
    return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

} // namespace

namespace LogFile {

bool open(const QString &path, QString *error)
{
    // Like the other outputs, a regular file or a new one: opening a FIFO would wait for a
    // reader before anything was sent (O_NONBLOCK makes that open fail instead), and a device
    // node is not a log.
    const QByteArray name = QFile::encodeName(path);
    struct stat status = {};
    const bool special = ::stat(name.constData(), &status) == 0 && !S_ISREG(status.st_mode);
    const int fd = special ? -1
                           : ::open(name.constData(),
                                    O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (!special && fd < 0) {
        *error = systemError();
        return false;
    }
    if (special || !isRegularFile(fd)) { // or it was replaced between the two looks
        *error = QStringLiteral("not a regular file");
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    logFile = fd; // open as long as the program: the handler may run until exit
    previousHandler = qInstallMessageHandler(copyingHandler);
    return true;
}

QString error()
{
    return logError;
}

} // namespace LogFile
