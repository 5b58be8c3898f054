#include "station/journal.h"

#include "core/quotedinput.h"

#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

void syncFolderOf(const QString &path)
{
    // A journal created just now must survive a power cut too: its name is in the folder.
    const int folder = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
}

} // namespace

Journal::~Journal()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool Journal::open(const QString &path, QString *error)
{
    m_path = path;
    return reopen(error);
}

bool Journal::reopen(QString *error)
{
    if (!openPath(error))
        return false;
    char last = '\n';
    m_unterminated = false;
    const off_t size = ::lseek(m_fd, 0, SEEK_END);
    if (size > 0 && ::pread(m_fd, &last, 1, size - 1) == 1 && last != '\n') {
        m_unterminated = true;
        m_notices << QStringLiteral("bootloader-cli: the journal %1 does not end with a line "
                                    "break (a record cut short earlier): the next record starts "
                                    "on a line of its own")
                         .arg(quotedInput(m_path));
    }
    return true;
}

bool Journal::openPath(QString *error)
{
    // O_NONBLOCK: opening a FIFO must fail or return at once, not wait for a reader. Read too:
    // whether the last line is whole.
    const int fd = ::open(QFile::encodeName(m_path).constData(),
                          O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
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
    syncFolderOf(m_path);
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
    return true;
}

bool Journal::followPath(QString *error)
{
    struct stat open = {}, named = {};
    if (::fstat(m_fd, &open) == 0 && open.st_nlink > 0 &&
        ::stat(QFile::encodeName(m_path).constData(), &named) == 0 && named.st_dev == open.st_dev &&
        named.st_ino == open.st_ino)
        return true;
    if (!reopen(error)) {
        *error = QStringLiteral("it was deleted or replaced, and opening it again failed: %1")
                     .arg(*error);
        return false;
    }
    m_notices << QStringLiteral("bootloader-cli: the journal %1 was deleted or replaced: "
                                "records go on in a new file at that path")
                     .arg(quotedInput(m_path));
    return true;
}

bool Journal::reserve(int records, QString *error)
{
    if (m_fd < 0) {
        *error = QStringLiteral("the journal is not open");
        return false;
    }
    struct stat status = {};
    if (!followPath(error))
        return false;
    if (::fstat(m_fd, &status) != 0) {
        *error = systemError();
        return false;
    }
    const qint64 room = records * RecordRoom + int(m_unterminated);
    rlimit limit = {};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        qint64(status.st_size) + room > qint64(limit.rlim_cur)) {
        *error = QStringLiteral("the file size limit (%1 bytes) leaves no room for a record")
                     .arg(qint64(limit.rlim_cur));
        return false;
    }
    if (allocate(m_fd, status.st_size, room) == 0)
        return true;
    if (errno != EOPNOTSUPP) {
        *error = QStringLiteral("no room on the disk for a record: %1").arg(systemError());
        return false;
    }
    // A file system that cannot reserve: the free space is the best there is to go by.
    struct statvfs disk = {};
    if (::fstatvfs(m_fd, &disk) == 0 && qint64(disk.f_bavail) * qint64(disk.f_frsize) < room) {
        *error = QStringLiteral("no room on the disk for a record");
        return false;
    }
    return true;
}

bool Journal::append(const QByteArray &line, QString *error)
{
    if (m_fd < 0) {
        *error = QStringLiteral("the journal is not open");
        return false;
    }
    if (!followPath(error) || !writeLine(m_unterminated ? '\n' + line : line, error))
        return false;
    m_unterminated = false;
    if (::fsync(m_fd) != 0) {
        *error = QStringLiteral("cannot flush it to disk: %1").arg(systemError());
        return false;
    }
    return true;
}

bool Journal::writeLine(const QByteArray &line, QString *error)
{
    // One write(): with O_APPEND the kernel places the whole line at the end at once. Only a
    // short write (a disk filling up) takes more, to finish the line or learn why it cannot.
    qint64 done = 0;
    while (done < line.size()) {
        const ssize_t written =
            writeSome(m_fd, line.constData() + done, size_t(line.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written > 0) {
            done += written;
            continue;
        }
        *error = written < 0 ? systemError() : QStringLiteral("nothing written");
        if (done == 0)
            return false;
        // The part written is the file's end: cut it off, so that no reader meets half a line.
        struct stat status = {};
        const bool undone = ::fstat(m_fd, &status) == 0 && status.st_size >= done &&
                            ::ftruncate(m_fd, status.st_size - done) == 0;
        *error = QStringLiteral("only %1 of %2 bytes written (%3): %4")
                     .arg(done)
                     .arg(line.size())
                     .arg(undone ? QStringLiteral("cut off again")
                                 : QStringLiteral("left in place: ") + systemError())
                     .arg(*error);
        return false;
    }
    return true;
}

ssize_t Journal::writeSome(int fd, const char *data, size_t size)
{
    return ::write(fd, data, size);
}

int Journal::allocate(int fd, off_t offset, off_t length)
{
    return ::fallocate(fd, FALLOC_FL_KEEP_SIZE, offset, length);
}
