#include "core/commandline.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
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
                                        QString::fromLocal8Bit(strerror(errno)));
}

} // namespace

namespace CommandLine {

std::optional<int> parse(QCommandLineParser &parser, const char *program, const char *description,
                         const QList<QCommandLineOption> &options)
{
    QCoreApplication::setApplicationName(QString::fromLatin1(program));
    QCoreApplication::setApplicationVersion(QStringLiteral(BOOTLOADER_VERSION));
    parser.setApplicationDescription(QString::fromLatin1(description));
    parser.addHelpOption();
    // -V as in dfu-util and avrdude, which leaves -v for --verbose.
    const QCommandLineOption version({QStringLiteral("V"), QStringLiteral("version")},
                                     QStringLiteral("Displays version information."));
    parser.addOption(version);
    parser.addOptions(options);
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(version)) {
        std::printf("%s %s\n", program, BOOTLOADER_VERSION);
        return 0;
    }
    return std::nullopt;
}

std::optional<int> parseDecimal(const QString &text, int lowest, int highest)
{
    const bool digits = !text.isEmpty() && std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        return c >= QLatin1Char('0') && c <= QLatin1Char('9');
    });
    bool ok = false;
    const int value = digits ? text.toInt(&ok, 10) : 0;
    if (!ok || value < lowest || value > highest)
        return std::nullopt;
    return value;
}

int usageError(const QString &message)
{
    const QByteArray program = QCoreApplication::applicationName().toLocal8Bit();
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program.constData(),
                 message.toLocal8Bit().constData(), program.constData());
    return UsageExitCode;
}

bool quitOnTerminationSignals(QString *error)
{
    return onTerminationSignals([](int) { QCoreApplication::quit(); }, error);
}

bool onTerminationSignals(const std::function<void(int)> &handler, QString *error)
{
    if (::pipe(signalPipe) != 0 || !setFlags(signalPipe[0]) || !setFlags(signalPipe[1])) {
        *error = systemError("cannot create the signal pipe");
        return false;
    }

    auto *notifier =
        new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [handler] {
        char drain[64];
        ssize_t got = 0;
        while ((got = ::read(signalPipe[0], drain, sizeof drain)) > 0) {
            for (ssize_t i = 0; i < got; ++i)
                handler(quint8(drain[i]));
        }
    });

    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : {SIGINT, SIGTERM}) {
        if (::sigaction(signalNumber, &action, nullptr) != 0) {
            *error = systemError("cannot install the signal handler");
            return false;
        }
    }
    return true;
}

} // namespace CommandLine
