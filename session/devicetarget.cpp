#include "session/devicetarget.h"

#include "core/commandline.h"
#include "core/deviceendpoint.h"
#include "core/quotedinput.h"

namespace {

std::optional<QHostAddress> parseHost(const QString &host, bool bracketed)
{
    // Brackets are for IPv6 with a port; IPv4 follows the window's rule (four decimal parts).
    if (bracketed && !host.contains(QLatin1Char(':')))
        return std::nullopt;
    return parseAddressText(host);
}

bool isOneDevice(QHostAddress address)
{
    // "::ffff:0.0.0.0" is 0.0.0.0 in disguise.
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    if (mapped)
        address = QHostAddress(ipv4);
    return !address.isNull() && address != QHostAddress(QHostAddress::AnyIPv4) &&
           address != QHostAddress(QHostAddress::AnyIPv6) && !address.isMulticast() &&
           !address.isBroadcast();
}

} // namespace

QString DeviceTarget::label() const
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

bool DeviceTarget::sameDevice(const DeviceTarget &other) const
{
    return sameEndpoint(address, port, other.address, other.port);
}

std::optional<DeviceTarget> parseDeviceTarget(const QString &text, QString *error)
{
    QString host = text;
    std::optional<QString> portText;
    const bool bracketed = text.startsWith(QLatin1Char('['));
    if (bracketed) {
        const int close = text.indexOf(QLatin1Char(']'));
        const QString rest = close < 0 ? QString() : text.mid(close + 1);
        if (close < 0 || !(rest.isEmpty() || rest.startsWith(QLatin1Char(':')))) {
            *error = QStringLiteral("%1 is not HOST[:PORT]").arg(quotedInput(text));
            return std::nullopt;
        }
        host = text.mid(1, close - 1);
        if (!rest.isEmpty())
            portText = rest.mid(1);
    } else if (text.count(QLatin1Char(':')) == 1) { // more colons: a bare IPv6 address
        const int colon = text.indexOf(QLatin1Char(':'));
        host = text.left(colon);
        portText = text.mid(colon + 1);
    }

    const std::optional<QHostAddress> address = parseHost(host, bracketed);
    if (!address) {
        *error = QStringLiteral("%1 is not an IPv4 or IPv6 address (names are not looked up; "
                                "write IPv6 with a port as [ADDRESS]:PORT)")
                     .arg(quotedInput(host));
        return std::nullopt;
    }
    if (!isOneDevice(*address)) {
        *error = QStringLiteral("%1 is not the address of one device").arg(quotedInput(host));
        return std::nullopt;
    }

    DeviceTarget target{*address, DefaultDevicePort};
    if (portText) {
        // Port 0 cannot be sent to.
        const std::optional<int> port = CommandLine::parseDecimal(*portText, 1, 65535);
        if (!port) {
            *error = QStringLiteral("port %1 of %2 is not a number from 1 to 65535")
                         .arg(quotedInput(*portText), quotedInput(text));
            return std::nullopt;
        }
        target.port = quint16(*port);
    }
    return target;
}
