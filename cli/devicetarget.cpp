#include "cli/devicetarget.h"

#include "link/deviceendpoint.h"

#include <QRegularExpression>

namespace {

// Qt also takes "1", "127.1" and hex parts as IPv4; on a command line those are typos.
bool isDottedQuad(const QString &text)
{
    static const QRegularExpression dottedQuad(
        QStringLiteral("^[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}$"));
    return dottedQuad.match(text).hasMatch();
}

std::optional<QHostAddress> parseHost(const QString &host, bool bracketed)
{
    const bool ipv6 = host.contains(QLatin1Char(':'));
    if ((bracketed && !ipv6) || (!ipv6 && !isDottedQuad(host)))
        return std::nullopt;
    QHostAddress address;
    if (!address.setAddress(host))
        return std::nullopt;
    return address;
}

bool isOneDevice(const QHostAddress &address)
{
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
    return port == other.port &&
           address.isEqual(other.address, QHostAddress::ConvertV4MappedToIPv4);
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
            *error = QStringLiteral("\"%1\" is not HOST[:PORT]").arg(text);
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
        *error = QStringLiteral("\"%1\" is not an IPv4 or IPv6 address (names are not looked up; "
                                "write IPv6 with a port as [ADDRESS]:PORT)")
                     .arg(host);
        return std::nullopt;
    }
    if (!isOneDevice(*address)) {
        *error = QStringLiteral("%1 is not the address of one device").arg(host);
        return std::nullopt;
    }

    DeviceTarget target{*address, DefaultDevicePort};
    if (portText) {
        const int port = parsePortText(*portText);
        if (port <= 0) { // port 0 cannot be sent to
            *error = QStringLiteral("port \"%1\" of \"%2\" is not a number from 1 to 65535")
                         .arg(*portText, text);
            return std::nullopt;
        }
        target.port = quint16(port);
    }
    return target;
}
