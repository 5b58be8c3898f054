#include "station/journal.h"

#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

Journal::~Journal()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool Journal::open(const QString &path, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    // O_NONBLOCK: opening a FIFO must fail or return at once, not wait for a reader.
    const int fd = ::open(name.constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) {
        *error = systemError();
        return false;
    }
    struct stat status = {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        *error = QStringLiteral("not a regular file");
        ::close(fd);
        return false;
    }
    // A journal created just now must survive a power cut too: its name is in the folder.
    const int folder = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    m_fd = fd;
    return true;
}

bool Journal::append(const QByteArray &line, QString *error)
{
    if (m_fd < 0) {
        *error = QStringLiteral("the journal is not open");
        return false;
    }
    // One write(): with O_APPEND the kernel places the whole line at the end at once. Only a
    // short write (a disk filling up) takes more, to finish the line or learn why it cannot.
    qint64 done = 0;
    while (done < line.size()) {
        const ssize_t written = ::write(m_fd, line.constData() + done, size_t(line.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            const QString reason = written < 0 ? systemError() : QStringLiteral("nothing written");
            *error = done ? QStringLiteral("only %1 of %2 bytes written: %3")
                                .arg(done)
                                .arg(line.size())
                                .arg(reason)
                          : reason;
            return false;
        }
        done += written;
    }
    if (::fsync(m_fd) != 0) {
        *error = QStringLiteral("cannot flush it to disk: %1").arg(systemError());
        return false;
    }
    return true;
}
