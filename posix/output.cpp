#include "posix/output.h"

#include "posix/logfile.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace Output {

namespace {

constexpr qsizetype MostKeptReport = 16 << 20;
constexpr qsizetype MostKeptMessages = 1 << 20;

bool stopped = false;

// One of the two outputs. A pipe or a terminal is opened again on a file description of its
// own with O_NONBLOCK: setting the flag on the inherited one would also change it for the
// shell and for whoever shares it.
class Stream
{
public:
    // With `resumes`, text left out is only counted, and said once the reader is back; without,
    // the first text left out is the end of what the reader gets.
    Stream(int fd, qsizetype mostKept, bool resumes)
        : m_fd(fd), m_mostKept(mostKept), m_resumes(resumes)
    {
    }

    void write(const QByteArray &text)
    {
        if (!m_opened)
            open();
        if (m_resumes && m_leftOut > 0 && !waits()) {
            const qsizetype leftOut = std::exchange(m_leftOut, 0);
            write("bootloader-cli: " + QByteArray::number(leftOut) +
                  " bytes of progress and messages were left out: stderr was not read\n");
        }
        if (m_error != 0 || m_leftOut > 0 || m_kept.size() - m_sent + text.size() > m_mostKept) {
            m_leftOut += text.size();
            return;
        }
        m_kept += text;
        writeSome();
    }

    // Waits until the reader has taken everything or a signal came.
    void drain()
    {
        if (!stopped && waits() && QCoreApplication::instance()) {
            QEventLoop loop;
            m_waiting = &loop;
            loop.exec();
            m_waiting = nullptr;
        }
        writeSome();
    }

    void stop()
    {
        if (m_waiting)
            m_waiting->quit();
    }

    // Another output takes this one's place: its watch on the descriptor ends.
    void release() { delete std::exchange(m_notifier, nullptr); }

    int error() const { return m_error; }
    qsizetype leftOut() const { return m_leftOut; }
    qsizetype unwritten() const { return m_kept.size() - m_sent + m_leftOut; }

private:
    enum class Mode { Blocking, NonBlocking, Socket, Polled };

    bool waits() const { return m_error == 0 && m_sent < m_kept.size(); }

    void open()
    {
        m_opened = true;
        struct stat status = {};
        if (::fstat(m_fd, &status) != 0)
            return; // the write says why
        if (S_ISSOCK(status.st_mode)) {
            m_mode = Mode::Socket;
        } else if (S_ISFIFO(status.st_mode) || ::isatty(m_fd)) {
            const QByteArray path = "/proc/self/fd/" + QByteArray::number(m_fd);
            const int own = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (own >= 0)
                m_fd = own, m_mode = Mode::NonBlocking;
            else if (errno == ENXIO) // a FIFO whose reader has gone
                m_error = EPIPE;
            else // no /proc: a pipe with room takes PIPE_BUF bytes without blocking
                m_mode = Mode::Polled;
        }
    }

    // On a pipe, at most PIPE_BUF bytes that end a line: the pipe takes them whole or not at
    // all, so its reader never gets half a line, even when the run ends before the rest went.
    size_t nextChunk() const
    {
        const qsizetype size = m_kept.size() - m_sent;
        if (m_mode == Mode::Blocking || m_mode == Mode::Socket || size <= PIPE_BUF)
            return size_t(size);
        const qsizetype end = m_kept.lastIndexOf('\n', int(m_sent + PIPE_BUF - 1));
        if (end >= m_sent)
            return size_t(end + 1 - m_sent);
        return m_mode == Mode::Polled ? PIPE_BUF : size_t(size); // a line longer than PIPE_BUF
    }

    ssize_t writeOnce(const char *data, size_t size)
    {
        switch (m_mode) {
        case Mode::Socket:
            return ::send(m_fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        case Mode::Polled: {
            pollfd writable = {m_fd, POLLOUT, 0};
            if (::poll(&writable, 1, 0) != 1) {
                errno = EAGAIN;
                return -1;
            }
            return ::write(m_fd, data, size);
        }
        case Mode::Blocking:
        case Mode::NonBlocking:
            break;
        }
        return ::write(m_fd, data, size);
    }

    void writeSome()
    {
        while (waits()) {
            const ssize_t written = writeOnce(m_kept.constData() + m_sent, nextChunk());
            if (written > 0)
                m_sent += written;
            else if (written == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            else if (errno != EINTR)
                m_error = errno;
        }
        if (m_sent == m_kept.size() || m_sent > (1 << 20)) {
            m_kept.remove(0, int(m_sent));
            m_sent = 0;
        }
        if (!m_notifier && waits() && QCoreApplication::instance()) {
            m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Write);
            QObject::connect(m_notifier, &QSocketNotifier::activated, [this] { writeSome(); });
        }
        if (m_notifier)
            m_notifier->setEnabled(waits());
        if (m_waiting && !waits())
            m_waiting->quit();
    }

    int m_fd;
    qsizetype m_mostKept;
    bool m_resumes;
    bool m_opened = false;
    Mode m_mode = Mode::Blocking;
    QByteArray m_kept;
    qsizetype m_sent = 0;
    qsizetype m_leftOut = 0;
    int m_error = 0;
    QSocketNotifier *m_notifier = nullptr; // lives as long as the program, as the stream does
    QEventLoop *m_waiting = nullptr;
};

Stream &out()
{
    static Stream stream(STDOUT_FILENO, MostKeptReport, false);
    return stream;
}

Stream &err()
{
    static Stream stream(STDERR_FILENO, MostKeptMessages, true);
    return stream;
}

} // namespace

void writeTo(int reportFd, int messagesFd)
{
    out().release();
    err().release();
    out() = Stream(reportFd, MostKeptReport, false);
    err() = Stream(messagesFd, MostKeptMessages, true);
}

void report(const QByteArray &text)
{
    const bool whole = out().leftOut() == 0;
    out().write(text);
    if (whole && out().leftOut() > 0 && out().error() == 0)
        message(QByteArrayLiteral("bootloader-cli: stdout is not being read: more than 16 MiB of "
                                  "the report is waiting; the rest of it is left out\n"));
}

void message(const QByteArray &text)
{
    err().write(text);
}

void stopWaiting()
{
    stopped = true;
    out().stop();
    err().stop();
}

bool reportWritten()
{
    out().drain();
    const qsizetype unwritten = out().unwritten();
    if (out().error() != 0)
        message(QByteArrayLiteral("bootloader-cli: the report could not be written to stdout: ") +
                QByteArray(std::strerror(out().error())) + '\n');
    else if (unwritten > 0 && out().leftOut() == 0)
        message("bootloader-cli: the report could not be written to stdout: " +
                QByteArray::number(unwritten) +
                " bytes were still waiting for a reader when a signal ended the run\n");
    // The log is a record the user asked for, as the report is.
    const QString logError = LogFile::error();
    if (!logError.isEmpty())
        message("bootloader-cli: --log-file: the log could not be written: " +
                logError.toLocal8Bit() + '\n');
    err().drain();
    stopped = false; // the next run, in a test that runs several, waits again
    return unwritten == 0 && logError.isEmpty();
}

int withReport(int status)
{
    const bool written = reportWritten();
    return status == ExitSucceeded && !written ? int(ExitReportLost) : status;
}

} // namespace Output
