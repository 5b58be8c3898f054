#include "core/deviceendpoint.h"

#include <QRegularExpression>

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

bool DeviceEndpoint::isSender(const QHostAddress &sender, quint16 senderPort) const
{
    return sameEndpoint(address, port, sender, senderPort);
}

bool sameEndpoint(const QHostAddress &address, int port, const QHostAddress &otherAddress,
                  int otherPort)
{
    return port == otherPort && address.isEqual(otherAddress, QHostAddress::ConvertV4MappedToIPv4);
}

int parsePortText(const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    // Above 65535 would silently go to the low 16 bits of the value: refuse it instead.
    return ok && value >= 0 && value <= 65535 ? value : -1;
}

std::optional<QHostAddress> parseAddressText(const QString &text)
{
    static const QRegularExpression decimalQuad(
        QStringLiteral("^(0|[1-9][0-9]{0,2})\\.(0|[1-9][0-9]{0,2})\\.(0|[1-9][0-9]{0,2})\\."
                       "(0|[1-9][0-9]{0,2})$"));
    if (!text.contains(QLatin1Char(':'))) {
        const QRegularExpressionMatch match = decimalQuad.match(text);
        if (!match.hasMatch())
            return std::nullopt;
        for (int part = 1; part <= 4; ++part) {
            if (match.captured(part).toInt() > 255)
                return std::nullopt;
        }
    }
    QHostAddress address;
    if (!address.setAddress(text))
        return std::nullopt;
    return address;
}
