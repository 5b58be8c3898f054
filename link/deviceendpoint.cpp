#include "link/deviceendpoint.h"

DeviceEndpoint::DeviceEndpoint() : DeviceEndpoint(0, DefaultDevicePort, QStringLiteral("127.0.0.1"))
{
}

DeviceEndpoint::DeviceEndpoint(int tag, int port, const QString &address) : tag(tag), port(port)
{
    this->address.setAddress(address);
}

DeviceEndpoint::DeviceEndpoint(int tag, int port, const QHostAddress &address)
    : tag(tag), port(port), address(address)
{
}

int parsePortText(const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    // Above 65535 would silently go to the low 16 bits of the value: refuse it instead.
    return ok && value >= 0 && value <= 65535 ? value : -1;
}
