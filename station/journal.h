#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <sys/types.h>
#include <utility>

// The station's record of finished boards: a regular file opened for appending, one line per
// record. A line goes out in one write(), so stations appending to the same file on one machine
// never interleave, and reaches the disk (fsync) before append() returns: a power cut loses at
// most the board in progress. A line is never left half-written: a short write is cut off
// again. The records go to the file at the path: one deleted or replaced (logrotate) is noticed
// before the next record, and the path opened again.
class Journal
{
public:
    // Room kept on disk per record still to come; a record is well under 1 KiB.
    static constexpr qint64 RecordRoom = 4096;

    Journal() = default;
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;
    virtual ~Journal();

    // Creates the file if need be; refuses anything but a regular file (a FIFO would block,
    // a device would swallow the records). False with the reason.
    bool open(const QString &path, QString *error);
    // Makes sure `records` more records can be appended before a board is erased: the room
    // is reserved on disk past the end (the file's size stays) and within the file-size limit.
    bool reserve(int records, QString *error);
    // `line` ends in '\n'. False with the reason when not all of it reached the disk; then the
    // part written is cut off again.
    bool append(const QByteArray &line, QString *error);
    // Opens the path again (SIGHUP: logrotate moved the file away), the old file kept if the
    // path cannot be opened.
    bool reopen(QString *error);
    // What the journal has to say on stderr (a reopened file, a last line cut short), once.
    QStringList takeNotices() { return std::exchange(m_notices, {}); }

protected:
    // The file layer, which tests replace to fill the disk part-way through.
    virtual ssize_t writeSome(int fd, const char *data, size_t size);
    virtual int allocate(int fd, off_t offset, off_t length);

private:
    bool openPath(QString *error);
    bool followPath(QString *error);
    bool writeLine(const QByteArray &line, QString *error);

    QString m_path;
    int m_fd = -1;
    bool m_unterminated = false; // the file's last line lacks its '\n'
    QStringList m_notices;
};
