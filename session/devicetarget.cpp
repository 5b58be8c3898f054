#include "session/devicetarget.h"

#include "core/commandline.h"
#include "core/deviceendpoint.h"
#include "core/quotedinput.h"

#include <QRegularExpression>
#include <net/if.h>

namespace {

std::optional<QHostAddress> parseHost(const QString &host, bool bracketed)
{
    // Brackets are for IPv6 with a port; IPv4 follows the window's rule (four decimal parts).
    if (bracketed && !host.contains(QLatin1Char(':')))
        return std::nullopt;
    return parseAddressText(host);
}

// A link-local IPv6 scope must name an interface, or the socket would fail at the first send.
bool checkScope(const QHostAddress &address, QString *error)
{
    const QString scope = address.scopeId();
    if (scope.isEmpty())
        return true;
    bool numeric = false;
    const uint index = scope.toUInt(&numeric);
    char name[IF_NAMESIZE];
    if (numeric ? ::if_indextoname(index, name) != nullptr : checkInterfaceName(scope, error))
        return true;
    *error = QStringLiteral("the scope of %1 is not a network interface of this machine")
                 .arg(quotedInput(address.toString()));
    return false;
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

// HOST[:PORT] into its parts; false when a bracket is left open or followed by other than :PORT.
bool splitHostPort(const QString &text, bool bracketed, QString *host,
                   std::optional<QString> *portText)
{
    *host = text;
    if (bracketed) {
        const int close = text.indexOf(QLatin1Char(']'));
        const QString rest = close < 0 ? QString() : text.mid(close + 1);
        if (close < 0 || !(rest.isEmpty() || rest.startsWith(QLatin1Char(':'))))
            return false;
        *host = text.mid(1, close - 1);
        if (!rest.isEmpty())
            *portText = rest.mid(1);
    } else if (text.count(QLatin1Char(':')) == 1) { // more colons: a bare IPv6 address
        const int colon = text.indexOf(QLatin1Char(':'));
        *host = text.left(colon);
        *portText = text.mid(colon + 1);
    }
    return true;
}

} // namespace

QString DeviceTarget::label() const
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    // One arg() call: a scope such as "%2" in the host must not be substituted again.
    const QString label = QStringLiteral("%1:%2").arg(host, QString::number(port));
    return interface.isEmpty() ? label : label + QLatin1Char('@') + interface;
}

bool DeviceTarget::sameDevice(const DeviceTarget &other) const
{
    return interface == other.interface && sameEndpoint(address, port, other.address, other.port);
}

bool checkInterfaceName(const QString &name, QString *error)
{
    const QByteArray bytes = name.toUtf8();
    if (!bytes.isEmpty() && bytes.size() < IF_NAMESIZE && !bytes.contains('/') &&
        !bytes.contains(':') && !name.contains(QRegularExpression(QStringLiteral("\\s"))) &&
        ::if_nametoindex(bytes.constData()) != 0)
        return true;
    *error = QStringLiteral("%1 is not a network interface of this machine").arg(quotedInput(name));
    return false;
}

std::optional<DeviceTarget> parseDeviceTarget(const QString &full, QString *error,
                                              const QString &defaultInterface)
{
    const int at = full.indexOf(QLatin1Char('@'));
    const QString text = at < 0 ? full : full.left(at);
    const QString interface = at < 0 ? defaultInterface : full.mid(at + 1);
    if (!interface.isEmpty() || at >= 0) {
        QString reason;
        if (!checkInterfaceName(interface, &reason)) {
            *error = QStringLiteral("%1: %2").arg(quotedInput(full), reason);
            return std::nullopt;
        }
    }
    QString host;
    std::optional<QString> portText;
    const bool bracketed = text.startsWith(QLatin1Char('['));
    if (!splitHostPort(text, bracketed, &host, &portText)) {
        *error = QStringLiteral("%1 is not HOST[:PORT]").arg(quotedInput(text));
        return std::nullopt;
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
    if (!checkScope(*address, error))
        return std::nullopt;

    DeviceTarget target{*address, DefaultDevicePort, interface};
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
