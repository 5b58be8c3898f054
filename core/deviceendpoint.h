#pragma once

#include "core/protocol.h"

#include <QHostAddress>
#include <QString>
#include <optional>

// Where every command datagram goes. Edited in place by the address and port fields.
struct DeviceEndpoint
{
    DeviceEndpoint();
    DeviceEndpoint(int tag, int port, const QString &address);
    DeviceEndpoint(int tag, int port, const QHostAddress &address);

    // Whether a datagram from `sender` came from this endpoint: the same address (an
    // IPv4-mapped IPv6 sender compared as its IPv4 address) and the same port.
    bool isSender(const QHostAddress &sender, quint16 senderPort) const;

    int tag = 0; // set by its owner, read by nobody
    int port = DefaultDevicePort;
    QHostAddress address;
};

bool sameEndpoint(const QHostAddress &address, int port, const QHostAddress &otherAddress,
                  int otherPort);

// The port typed by the operator, a decimal number from 0 to 65535; -1 when it is not one.
int parsePortText(const QString &text);

// An address typed by the operator. IPv4 must be four decimal parts from 0 to 255 without
// leading zeros: Qt would also read "192.168.010.050" (octal parts), "192.168.1" and hex parts,
// each silently another device. Text with a colon is IPv6, taken as Qt reads it.
std::optional<QHostAddress> parseAddressText(const QString &text);
