#pragma once

#include <QHostAddress>
#include <QString>

struct nl_sock;

// The kernel's neighbour table (ARP, NDP), through rtnetlink with libnl-route-3: which
// Ethernet address answers for a device's address on the station's own segment, and, where
// the process may (CAP_NET_ADMIN), forgetting it so that the kernel asks afresh. A station
// that only sends UDP never confirms an entry, so after a board swap the kernel would keep
// sending to the old board's Ethernet address for up to a minute.
class NeighbourTable
{
public:
    enum class Drop { Dropped, NotPermitted, Failed };

    NeighbourTable();
    NeighbourTable(const NeighbourTable &) = delete;
    NeighbourTable &operator=(const NeighbourTable &) = delete;
    ~NeighbourTable();

    // "02:42:ac:11:00:02", what the kernel holds for `address` on `interface` (on any when
    // empty; an IPv6 scope counts as the interface); empty when it holds none: a routed
    // device, loopback, or not resolved.
    QString hardwareAddress(const QHostAddress &address, const QString &interface);
    // Whether this process may change the table: CAP_NET_ADMIN in its effective set.
    static bool mayChange();
    // Forgets the entries of `address` on `interface`; Dropped also when there was none.
    Drop drop(const QHostAddress &address, const QString &interface, QString *error);

private:
    nl_sock *m_socket = nullptr;
};
