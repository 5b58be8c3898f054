#include "posix/terminationsignals.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

// Runs inside the signal: writing one byte to a pipe is all it may safely do.
void onTerminationSignal(int signalNumber)
{
    const int savedErrno = errno;
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

bool setFlags(int fd)
{
    return ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0 &&
           ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}

// The read end of the pipe, watched in the event loop; it hands each signal to the handlers.
class SignalPipe : public QObject
{
    Q_OBJECT

public:
    explicit SignalPipe(QObject *parent) : QObject(parent)
    {
        auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            char drain[64];
            ssize_t got = 0;
            while ((got = ::read(signalPipe[0], drain, sizeof drain)) > 0) {
                for (ssize_t i = 0; i < got; ++i)
                    emit signalled(quint8(drain[i]));
            }
        });
    }

signals:
    void signalled(int signalNumber);
};

bool handle(int signalNumber, QString *error)
{
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(signalNumber, &action, nullptr) == 0)
        return true;
    *error = systemError("cannot install the signal handler");
    return false;
}

QPointer<SignalPipe> openPipe(QString *error)
{
    static QPointer<SignalPipe> pipe;
    if (pipe)
        return pipe;
    if (signalPipe[0] < 0 &&
        (::pipe(signalPipe) != 0 || !setFlags(signalPipe[0]) || !setFlags(signalPipe[1]))) {
        *error = systemError("cannot create the signal pipe");
        return nullptr;
    }
    for (const int signalNumber : {SIGINT, SIGTERM}) {
        struct sigaction inherited = {};
        if (signalNumber == SIGINT && ::sigaction(signalNumber, nullptr, &inherited) == 0 &&
            inherited.sa_handler == SIG_IGN)
            continue;
        if (!handle(signalNumber, error))
            return nullptr;
    }
    pipe = new SignalPipe(QCoreApplication::instance());
    return pipe;
}

} // namespace

namespace TerminationSignals {

bool onSignal(QObject *context, const std::function<void(int)> &handler, QString *error)
{
    const QPointer<SignalPipe> pipe = openPipe(error);
    if (!pipe)
        return false;
    QObject::connect(pipe, &SignalPipe::signalled, context, [handler](int signalNumber) {
        if (signalNumber != SIGHUP)
            handler(signalNumber);
    });
    return true;
}

bool onHangUp(QObject *context, const std::function<void()> &handler, QString *error)
{
    const QPointer<SignalPipe> pipe = openPipe(error);
    if (!pipe || !handle(SIGHUP, error))
        return false;
    QObject::connect(pipe, &SignalPipe::signalled, context, [handler](int signalNumber) {
        if (signalNumber == SIGHUP)
            handler();
    });
    return true;
}

bool quitOnSignal(QString *error)
{
    return onSignal(
        QCoreApplication::instance(), [](int) { QCoreApplication::quit(); }, error);
}

} // namespace TerminationSignals

#include "terminationsignals.moc"
