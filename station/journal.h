#pragma once

#include <QByteArray>
#include <QString>

// The station's record of finished boards: a regular file opened for appending, one line per
// record. A line goes out in one write(), so stations appending to the same file on one machine
// never interleave, and reaches the disk (fsync) before append() returns: a power cut loses at
// most the board in progress.
class Journal
{
public:
    Journal() = default;
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;
    ~Journal();

    // Creates the file if need be; refuses anything but a regular file (a FIFO would block,
    // a device would swallow the records). False with the reason.
    bool open(const QString &path, QString *error);
    // `line` ends in '\n'. False with the reason when not all of it reached the disk.
    bool append(const QByteArray &line, QString *error);

private:
    int m_fd = -1;
};
