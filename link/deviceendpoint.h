#pragma once

#include "link/protocol.h"

#include <QHostAddress>
#include <QString>

// Where every command datagram goes. Edited in place by the address and port fields.
struct DeviceEndpoint
{
    DeviceEndpoint();
    DeviceEndpoint(int tag, int port, const QString &address);
    DeviceEndpoint(int tag, int port, const QHostAddress &address);

    int tag = 0; // set by its owner, read by nobody
    int port = DefaultDevicePort;
    QHostAddress address;
};

// The port typed by the operator, a decimal number from 0 to 65535; -1 when it is not one.
int parsePortText(const QString &text);
