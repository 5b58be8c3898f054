#include "station/stationconfig.h"

#include "core/firmwarefile.h"
#include "core/quotedinput.h"
#include "session/devicetarget.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <algorithm>

namespace {

constexpr int LongestConfigBytes = 64 * 1024;

bool yesNo(const QString &text, bool *value)
{
    *value = text == QLatin1String("yes");
    return *value || text == QLatin1String("no");
}

} // namespace

std::optional<StationInput> readStationConfig(const QString &path, QString *error)
{
    const std::optional<QByteArray> bytes = readRegularFile(path, LongestConfigBytes);
    if (!bytes || bytes->size() > LongestConfigBytes) {
        *error = QStringLiteral("%1: not a readable regular file of at most 64 KiB").arg(path);
        return std::nullopt;
    }
    const QDir folder = QFileInfo(path).absoluteDir();
    const auto pathFrom = [&folder](const QString &text) {
        return text.isEmpty() ? text : QDir::cleanPath(folder.absoluteFilePath(text));
    };
    static const QRegularExpression shape(QStringLiteral("^([A-Z_]+)=(\\S(?:.*\\S)?)$"));
    static const QStringList keys{"IMAGE",   "DEVICES",    "DEVICES_FROM", "RETRIES", "RETRY_AFTER",
                                  "TIMEOUT", "GONE_AFTER", "NO_START",     "FORCE"};

    StationInput input;
    QHash<QString, int> seen; // key -> line
    const QList<QByteArray> lines = bytes->split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QString where = QStringLiteral("%1:%2: ").arg(path).arg(i + 1);
        QByteArray raw = lines[i];
        if (raw.endsWith('\r'))
            raw.chop(1);
        const QString line = QString::fromUtf8(raw);
        // Bytes that are not UTF-8 come back changed; control characters could hide text.
        if (line.toUtf8() != raw || std::any_of(line.cbegin(), line.cend(), [](QChar c) {
                return c.category() == QChar::Other_Control;
            })) {
            *error = where + QStringLiteral("not UTF-8 text without control characters");
            return std::nullopt;
        }
        if (line.trimmed().isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QRegularExpressionMatch match = shape.match(line);
        if (!match.hasMatch()) {
            *error = where + QStringLiteral("not KEY=value (no quotes, no spaces around =)");
            return std::nullopt;
        }
        const QString key = match.captured(1), value = match.captured(2);
        if (value.startsWith(QLatin1Char('"')) || value.startsWith(QLatin1Char('\''))) {
            *error = where + QStringLiteral("no quotes: the value is taken as it stands");
            return std::nullopt;
        }
        if (!keys.contains(key)) {
            *error = where + QStringLiteral("unknown key %1").arg(key);
            return std::nullopt;
        }
        if (seen.contains(key)) {
            *error =
                where +
                QStringLiteral("%1 given again (first on line %2)").arg(key).arg(seen.value(key));
            return std::nullopt;
        }
        seen.insert(key, i + 1);
        const StationInput::Value checked{value, where + key};
        if (key == QLatin1String("IMAGE")) {
            input.image = pathFrom(value);
        } else if (key == QLatin1String("DEVICES")) {
            input.devices = value.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            input.devicesWhere = where + QStringLiteral("DEVICES: ");
            for (const QString &device : qAsConst(input.devices)) {
                QString reason;
                if (!parseDeviceTarget(device, &reason)) {
                    *error = input.devicesWhere + reason;
                    return std::nullopt;
                }
            }
        } else if (key == QLatin1String("DEVICES_FROM")) {
            input.devicesFrom = QStringList{pathFrom(value)};
            input.devicesWhere = where + QStringLiteral("DEVICES_FROM: ");
        } else if (key == QLatin1String("RETRIES")) {
            input.retries = checked;
        } else if (key == QLatin1String("RETRY_AFTER")) {
            input.retryAfter = checked;
        } else if (key == QLatin1String("TIMEOUT")) {
            input.timeout = checked;
        } else if (key == QLatin1String("GONE_AFTER")) {
            input.goneAfter = checked;
        } else if (!yesNo(value,
                          key == QLatin1String("NO_START") ? &input.noStart : &input.force)) {
            *error =
                where + QStringLiteral("%1 wants yes or no, not %2").arg(key, quotedInput(value));
            return std::nullopt;
        }
    }
    if (seen.contains(QStringLiteral("DEVICES")) && seen.contains(QStringLiteral("DEVICES_FROM"))) {
        *error = QStringLiteral("%1:%2: DEVICES and DEVICES_FROM exclude each other")
                     .arg(path)
                     .arg(qMax(seen.value("DEVICES"), seen.value("DEVICES_FROM")));
        return std::nullopt;
    }
    if (!seen.contains(QStringLiteral("IMAGE"))) {
        *error = QStringLiteral("%1: IMAGE missing").arg(path);
        return std::nullopt;
    }
    if (!seen.contains(QStringLiteral("DEVICES")) &&
        !seen.contains(QStringLiteral("DEVICES_FROM"))) {
        *error = QStringLiteral("%1: DEVICES or DEVICES_FROM missing").arg(path);
        return std::nullopt;
    }
    return input;
}
