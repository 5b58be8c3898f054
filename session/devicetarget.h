#pragma once

#include <QHostAddress>
#include <QString>
#include <optional>

// One device named on the command line: an address literal and a UDP port.
struct DeviceTarget
{
    QHostAddress address;
    quint16 port = 0;

    // "127.0.0.1:31120" or "[::1]:31120": the form the command line accepts back.
    QString label() const;
    bool sameDevice(const DeviceTarget &other) const;
};

// Parses HOST[:PORT]: a dotted-quad IPv4 literal or an IPv6 literal, bracketed when a port
// follows. Names are refused, so nothing is ever looked up in DNS. On failure returns
// nullopt and says why in `error`.
std::optional<DeviceTarget> parseDeviceTarget(const QString &text, QString *error);
