#include "session/neighbourtable.h"

#include <functional>
#include <linux/capability.h>
#include <net/if.h>
#include <netlink/cache.h>
#include <netlink/errno.h>
#include <netlink/netlink.h>
#include <netlink/route/neighbour.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The interface to look on: the one named, else an IPv6 scope, else 0 for any.
int interfaceIndex(const QHostAddress &address, const QString &interface)
{
    QString name = interface.isEmpty() ? address.scopeId() : interface;
    bool numeric = false;
    const int index = name.toInt(&numeric);
    if (numeric)
        return index;
    return name.isEmpty() ? 0 : int(::if_nametoindex(name.toUtf8().constData()));
}

nl_addr *destination(const QHostAddress &address)
{
    bool ipv4 = false;
    const quint32 v4 = address.toIPv4Address(&ipv4); // an IPv4-mapped address counts as IPv4
    if (ipv4) {
        const quint8 bytes[4] = {quint8(v4 >> 24), quint8(v4 >> 16), quint8(v4 >> 8), quint8(v4)};
        return nl_addr_build(AF_INET, bytes, sizeof bytes);
    }
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    return nl_addr_build(AF_INET6, v6.c, sizeof v6.c);
}

// Calls `visit` with each entry of `address` on the interface (any when 0); 0 or the error.
int forEachEntry(nl_sock *socket, const QHostAddress &address, int index,
                 const std::function<void(rtnl_neigh *)> &visit)
{
    nl_cache *cache = nullptr;
    if (!socket)
        return -NLE_BAD_SOCK;
    if (const int failed = rtnl_neigh_alloc_cache(socket, &cache))
        return failed;
    nl_addr *wanted = destination(address);
    for (nl_object *object = nl_cache_get_first(cache); object;
         object = nl_cache_get_next(object)) {
        auto *entry = reinterpret_cast<rtnl_neigh *>(object);
        if ((index == 0 || rtnl_neigh_get_ifindex(entry) == index) && rtnl_neigh_get_dst(entry) &&
            nl_addr_cmp(rtnl_neigh_get_dst(entry), wanted) == 0)
            visit(entry);
    }
    nl_addr_put(wanted);
    nl_cache_free(cache);
    return 0;
}

} // namespace

NeighbourTable::NeighbourTable()
{
    m_socket = nl_socket_alloc();
    if (m_socket && nl_connect(m_socket, NETLINK_ROUTE) != 0) {
        nl_socket_free(m_socket);
        m_socket = nullptr;
    }
}

NeighbourTable::~NeighbourTable()
{
    if (m_socket)
        nl_socket_free(m_socket);
}

QString NeighbourTable::hardwareAddress(const QHostAddress &address, const QString &interface)
{
    QString found;
    forEachEntry(m_socket, address, interfaceIndex(address, interface), [&found](rtnl_neigh *e) {
        // An entry still resolving, or that failed to, names no board.
        nl_addr *link = rtnl_neigh_get_lladdr(e);
        if (!link || nl_addr_get_len(link) == 0 ||
            (rtnl_neigh_get_state(e) & (NUD_INCOMPLETE | NUD_FAILED | NUD_NOARP)))
            return;
        char text[64];
        found = QString::fromLatin1(nl_addr2str(link, text, sizeof text));
    });
    return found;
}

bool NeighbourTable::mayChange()
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    return ::syscall(SYS_capget, &header, data) == 0 &&
           (data[CAP_NET_ADMIN / 32].effective & (1u << (CAP_NET_ADMIN % 32))) != 0;
}

NeighbourTable::Drop NeighbourTable::drop(const QHostAddress &address, const QString &interface,
                                          QString *error)
{
    int failed = 0;
    const int listed =
        forEachEntry(m_socket, address, interfaceIndex(address, interface), [&](rtnl_neigh *e) {
            const int result = rtnl_neigh_delete(m_socket, e, 0);
            if (result != 0 && result != -NLE_OBJ_NOTFOUND && failed == 0)
                failed = result;
        });
    if (listed != 0 || failed != 0) {
        *error = QString::fromLocal8Bit(nl_geterror(listed ? listed : failed));
        return failed == -NLE_PERM ? Drop::NotPermitted : Drop::Failed;
    }
    return Drop::Dropped;
}
