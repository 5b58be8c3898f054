#include "posix/terminalresize.h"

#include <QObject>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int resizePipe[2] = {-1, -1};

// Runs inside the signal: one byte to the pipe is all it does.
void onWindowChange(int)
{
    const int savedErrno = errno;
    [[maybe_unused]] const ssize_t written = ::write(resizePipe[1], "w", 1);
    errno = savedErrno;
}

} // namespace

bool TerminalResize::onResize(QObject *context, const std::function<void()> &handler)
{
    if (resizePipe[0] < 0 && ::pipe2(resizePipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onWindowChange;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (::sigaction(SIGWINCH, &action, nullptr) != 0)
        return false;
    auto *notifier = new QSocketNotifier(resizePipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [handler] {
        char drain[64];
        while (::read(resizePipe[0], drain, sizeof drain) > 0) // many resizes: one redraw
            continue;
        handler();
    });
    return true;
}
