#include "session/slotlock.h"

#include <QSocketNotifier>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int LongestHolderName = 64;
constexpr int HolderAnswerMs = 500; // a holder busy for longer is named by its pid alone

socklen_t slotAddress(const DeviceTarget &device, sockaddr_un *address)
{
    // A leading NUL puts the name in the abstract namespace: no file is ever made.
    const QByteArray name = "bootloader-slot " + device.label().toUtf8();
    *address = {};
    address->sun_family = AF_UNIX;
    const size_t length = qMin(size_t(name.size()), sizeof address->sun_path - 1);
    std::memcpy(address->sun_path + 1, name.constData(), length);
    return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + length);
}

// Who holds a slot: the pid from the kernel, the name as the holder gives it.
QString describeHolder(const sockaddr_un &address, socklen_t length)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ucred peer = {};
    socklen_t peerLength = sizeof peer;
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr *>(&address), length) != 0 ||
        ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) != 0) {
        if (fd >= 0)
            ::close(fd);
        return QStringLiteral("another program");
    }
    char name[LongestHolderName] = {};
    pollfd wait = {fd, POLLIN, 0};
    ssize_t got = ::poll(&wait, 1, HolderAnswerMs) == 1 ? ::read(fd, name, sizeof name) : -1;
    ::close(fd);
    // Shown on a terminal: printable ASCII only.
    QString holder;
    for (ssize_t i = 0; i < got; ++i)
        holder += name[i] >= ' ' && name[i] <= '~' ? QLatin1Char(name[i]) : QLatin1Char('?');
    if (holder.isEmpty())
        holder = QStringLiteral("another program");
    return QStringLiteral("%1 (pid %2)").arg(holder, QString::number(peer.pid));
}

} // namespace

SlotLock::SlotLock(const QString &holder, QObject *parent)
    : QObject(parent), m_holder(holder.toUtf8().left(LongestHolderName))
{
}

SlotLock::~SlotLock()
{
    release();
}

bool SlotLock::acquire(const QVector<DeviceTarget> &devices, QString *error)
{
    for (const DeviceTarget &device : devices) {
        if (!take(device, error)) {
            release();
            return false;
        }
    }
    return true;
}

bool SlotLock::take(const DeviceTarget &device, QString *error)
{
    sockaddr_un address;
    const socklen_t length = slotAddress(device, &address);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = QStringLiteral("cannot lock %1: %2")
                     .arg(device.label(), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), length) != 0 ||
        ::listen(fd, 8) != 0) {
        const int failure = errno;
        ::close(fd);
        *error = failure == EADDRINUSE
                     ? QStringLiteral("%1 is in use by %2")
                           .arg(device.label(), describeHolder(address, length))
                     : QStringLiteral("cannot lock %1: %2")
                           .arg(device.label(), QString::fromLocal8Bit(std::strerror(failure)));
        return false;
    }
    m_fds << fd;
    auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this, fd] { answer(fd); });
    m_notifiers << notifier;
    return true;
}

void SlotLock::answer(int fd)
{
    // Each asker is told who holds the slot, then let go; nothing it sends is read.
    const int asker = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (asker < 0)
        return;
    const ssize_t sent = ::send(asker, m_holder.constData(), size_t(m_holder.size()), MSG_NOSIGNAL);
    Q_UNUSED(sent)
    ::close(asker);
}

void SlotLock::release()
{
    qDeleteAll(m_notifiers);
    m_notifiers.clear();
    for (const int fd : qAsConst(m_fds))
        ::close(fd);
    m_fds.clear();
}
