#pragma once

#include <QHostAddress>
#include <QString>
#include <optional>

// One device named on the command line: an address literal, a UDP port and, on a fixture
// where identical boards answer at one address, the network interface it is cabled to.
struct DeviceTarget
{
    QHostAddress address;
    quint16 port = 0;
    QString interface; // empty: wherever the routes send it

    // "127.0.0.1:31120", "[::1]:31120" or "192.168.10.50:31120@eth1": the form the command
    // line accepts back.
    QString label() const;
    bool sameDevice(const DeviceTarget &other) const;
};

// Parses HOST[:PORT][@INTERFACE]: a dotted-quad IPv4 literal or an IPv6 literal (with a scope
// that names an interface of this machine, by name or number), bracketed when a port follows.
// Names are refused, so nothing is ever looked up in DNS. `interface` is taken when the text
// names none; an interface must exist here. On failure returns nullopt and says why in `error`.
std::optional<DeviceTarget> parseDeviceTarget(const QString &text, QString *error,
                                              const QString &interface = QString());

// Whether `name` is a network interface of this machine; if not, says so in `error`.
bool checkInterfaceName(const QString &name, QString *error);
