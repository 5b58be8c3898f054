#include "session/devicesocket.h"

#include "core/quotedinput.h"

#include <QSocketNotifier>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

DeviceSocket::DeviceSocket(QObject *parent) : QObject(parent) {}

DeviceSocket::~DeviceSocket()
{
    close();
}

bool DeviceSocket::open(const QHostAddress &address, quint16 port, const QString &interface,
                        QString *error)
{
    sockaddr_storage peer = {};
    socklen_t peerLength = 0;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto *ipv4 = reinterpret_cast<sockaddr_in *>(&peer);
        ipv4->sin_family = AF_INET;
        ipv4->sin_port = htons(port);
        ipv4->sin_addr.s_addr = htonl(address.toIPv4Address());
        peerLength = sizeof *ipv4;
    } else {
        auto *ipv6 = reinterpret_cast<sockaddr_in6 *>(&peer);
        ipv6->sin6_family = AF_INET6;
        ipv6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&ipv6->sin6_addr, bytes.c, sizeof bytes.c);
        // A scope by name ("fe80::1%eth1") or by number ("fe80::1%2").
        const QString scope = address.scopeId();
        bool numeric = false;
        ipv6->sin6_scope_id = scope.toUInt(&numeric);
        if (!numeric && !scope.isEmpty())
            ipv6->sin6_scope_id = ::if_nametoindex(scope.toUtf8().constData());
        peerLength = sizeof *ipv6;
    }
    m_fd = ::socket(peer.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // Tied to its interface before connect, the socket sends out of that interface only: boards
    // at one address behind several interfaces are told apart. No privilege is needed for it.
    const QByteArray device = interface.toUtf8();
    if (m_fd >= 0 && !device.isEmpty() &&
        ::setsockopt(m_fd, SOL_SOCKET, SO_BINDTODEVICE, device.constData(),
                     socklen_t(device.size())) != 0) {
        *error =
            QStringLiteral("network interface %1: %2").arg(quotedInput(interface), systemError());
        close();
        return false;
    }
    if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr *>(&peer), peerLength) != 0) {
        *error = systemError();
        close();
        return false;
    }
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &DeviceSocket::readyRead);
    return true;
}

void DeviceSocket::close()
{
    delete m_notifier;
    m_notifier = nullptr;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool DeviceSocket::send(const char *data, int length, bool *refused, QString *error)
{
    *refused = false;
    const ssize_t sent = ::send(m_fd, data, size_t(length), MSG_NOSIGNAL);
    if (sent == length)
        return true;
    *refused = sent < 0 && errno == ECONNREFUSED;
    *error = sent < 0 ? systemError() : QStringLiteral("only %1 bytes went out").arg(sent);
    return false;
}

DeviceSocket::Receive DeviceSocket::receive(char *buffer, int size, qint64 *length, QString *error)
{
    const ssize_t got = ::recv(m_fd, buffer, size_t(size), 0);
    if (got >= 0) {
        *length = got;
        return Receive::Datagram;
    }
    const int failure = errno;
    if (failure == EAGAIN || failure == EWOULDBLOCK || failure == EINTR)
        return Receive::Nothing;
    *error = systemError();
    return failure == ECONNREFUSED ? Receive::Refused : Receive::Failed;
}
