#include "session/devicelist.h"

#include "core/firmwarefile.h"
#include "core/quotedinput.h"

#include <QFile>
#include <QFileInfo>

namespace {

constexpr int LongestListBytes = 1 << 20; // a few thousand devices at most

std::optional<QByteArray> readList(const QString &name, QString *error)
{
    if (name == QLatin1String("-")) {
        QFile in;
        if (in.open(stdin, QIODevice::ReadOnly)) {
            const QByteArray text = in.read(LongestListBytes + 1);
            if (text.size() <= LongestListBytes)
                return text;
        }
    } else if (std::optional<QByteArray> text = readRegularFile(name, LongestListBytes)) {
        if (text->size() <= LongestListBytes)
            return text;
    }
    *error = QStringLiteral("--devices-from: %1 is not a readable regular file of at most 1 MiB")
                 .arg(quotedInput(name));
    return std::nullopt;
}

bool add(QVector<DeviceTarget> &devices, const QString &text, const QString &where,
         const QString &interface, QString *error)
{
    QString reason;
    const std::optional<DeviceTarget> device = parseDeviceTarget(text, &reason, interface);
    if (!device) {
        *error = QStringLiteral("%1: %2").arg(where, reason);
        return false;
    }
    for (const DeviceTarget &earlier : devices) {
        if (earlier.sameDevice(*device)) {
            *error = QStringLiteral("%1: %2 is named twice").arg(where, device->label());
            return false;
        }
    }
    devices.append(*device);
    return true;
}

} // namespace

std::optional<QVector<DeviceTarget>> readDeviceList(const QStringList &devices,
                                                    const QStringList &files, QString *error,
                                                    const QString &interface)
{
    QVector<DeviceTarget> list;
    for (const QString &text : devices) {
        if (!add(list, text, QStringLiteral("--device"), interface, error))
            return std::nullopt;
    }
    for (const QString &name : files) {
        const std::optional<QByteArray> text = readList(name, error);
        if (!text)
            return std::nullopt;
        const QList<QByteArray> lines = text->split('\n');
        for (int i = 0; i < lines.size(); ++i) {
            const QString where =
                QStringLiteral("%1, line %2").arg(quotedInput(name), QString::number(i + 1));
            // Qt 5 would end the line at the NUL: the device read would not be the line written.
            if (lines[i].contains('\0')) {
                *error = where + QStringLiteral(": a NUL byte");
                return std::nullopt;
            }
            const int comment = lines[i].indexOf('#');
            const QByteArray bytes = comment < 0 ? lines[i] : lines[i].left(comment);
            const QString line = QString::fromUtf8(bytes).trimmed();
            if (!line.isEmpty() && !add(list, line, where, interface, error))
                return std::nullopt;
        }
    }
    return list;
}
