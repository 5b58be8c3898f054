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

// One KEY=value line of the file, and where it is.
struct ConfigLine
{
    QString key;
    QString value;
    QString where; // "FILE:LINE: "
    const QDir *folder;

    // Relative paths are taken from the config file's folder.
    QString path() const
    {
        return value.isEmpty() ? value : QDir::cleanPath(folder->absoluteFilePath(value));
    }
    StationInput::Value checkedLater() const { return {value, where + key}; }
};

using KeyReader = bool (*)(const ConfigLine &line, StationInput *input, QString *error);

bool readImage(const ConfigLine &line, StationInput *input, QString *)
{
    input->image = line.path();
    return true;
}

bool readDevices(const ConfigLine &line, StationInput *input, QString *error)
{
    input->devices = line.value.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    input->devicesWhere = line.where + QStringLiteral("DEVICES: ");
    for (const QString &device : qAsConst(input->devices)) {
        QString reason;
        if (!parseDeviceTarget(device, &reason)) {
            *error = input->devicesWhere + reason;
            return false;
        }
    }
    return true;
}

bool readDevicesFrom(const ConfigLine &line, StationInput *input, QString *)
{
    input->devicesFrom = QStringList{line.path()};
    input->devicesWhere = line.where + QStringLiteral("DEVICES_FROM: ");
    return true;
}

// A value checked with the command line's limits once the whole file is read.
template <std::optional<StationInput::Value> StationInput::*value>
bool readLater(const ConfigLine &line, StationInput *input, QString *)
{
    input->*value = line.checkedLater();
    return true;
}

bool yesNo(const ConfigLine &line, bool *value, QString *error)
{
    *value = line.value == QLatin1String("yes");
    if (*value || line.value == QLatin1String("no"))
        return true;
    *error = line.where +
             QStringLiteral("%1 wants yes or no, not %2").arg(line.key, quotedInput(line.value));
    return false;
}

bool readNoStart(const ConfigLine &line, StationInput *input, QString *error)
{
    return yesNo(line, &input->noStart, error);
}

bool readForce(const ConfigLine &line, StationInput *input, QString *error)
{
    return yesNo(line, &input->force, error);
}

bool readImageSha256(const ConfigLine &line, StationInput *input, QString *)
{
    input->expectSha256 = line.checkedLater();
    return true;
}

bool readName(const ConfigLine &line, StationInput *input, QString *)
{
    input->name = line.checkedLater();
    return true;
}

bool readMetrics(const ConfigLine &line, StationInput *input, QString *)
{
    input->metrics = StationInput::Value{line.path(), line.where + line.key};
    return true;
}

const QHash<QString, KeyReader> &keyReaders()
{
    static const QHash<QString, KeyReader> readers{
        {QStringLiteral("IMAGE"), readImage},
        {QStringLiteral("DEVICES"), readDevices},
        {QStringLiteral("DEVICES_FROM"), readDevicesFrom},
        {QStringLiteral("RETRIES"), readLater<&StationInput::retries>},
        {QStringLiteral("RETRY_AFTER"), readLater<&StationInput::retryAfter>},
        {QStringLiteral("TIMEOUT"), readLater<&StationInput::timeout>},
        {QStringLiteral("GONE_AFTER"), readLater<&StationInput::goneAfter>},
        {QStringLiteral("NO_START"), readNoStart},
        {QStringLiteral("FORCE"), readForce},
        {QStringLiteral("IMAGE_SHA256"), readImageSha256},
        {QStringLiteral("NAME"), readName},
        {QStringLiteral("METRICS"), readMetrics},
    };
    return readers;
}

enum class LineShape { Blank, Entry, Refused };

// Splits one line into key and value; a comment or blank line is Blank.
LineShape splitLine(QByteArray raw, ConfigLine *line, QString *error)
{
    static const QRegularExpression shape(QStringLiteral("^([A-Z][A-Z0-9_]*)=(\\S(?:.*\\S)?)$"));
    if (raw.endsWith('\r'))
        raw.chop(1);
    const QString text = QString::fromUtf8(raw);
    // Bytes that are not UTF-8 come back changed; control characters could hide text.
    if (text.toUtf8() != raw || std::any_of(text.cbegin(), text.cend(), [](QChar c) {
            return c.category() == QChar::Other_Control;
        })) {
        *error = line->where + QStringLiteral("not UTF-8 text without control characters");
        return LineShape::Refused;
    }
    if (text.trimmed().isEmpty() || text.startsWith(QLatin1Char('#')))
        return LineShape::Blank;
    const QRegularExpressionMatch match = shape.match(text);
    if (!match.hasMatch()) {
        *error = line->where + QStringLiteral("not KEY=value (no quotes, no spaces around =)");
        return LineShape::Refused;
    }
    line->key = match.captured(1);
    line->value = match.captured(2);
    if (line->value.startsWith(QLatin1Char('"')) || line->value.startsWith(QLatin1Char('\''))) {
        *error = line->where + QStringLiteral("no quotes: the value is taken as it stands");
        return LineShape::Refused;
    }
    return LineShape::Entry;
}

// What the whole file must say, once every line was read.
bool checkKeysGiven(const QString &path, const QHash<QString, int> &seen, QString *error)
{
    const bool devices = seen.contains(QStringLiteral("DEVICES"));
    const bool devicesFrom = seen.contains(QStringLiteral("DEVICES_FROM"));
    if (devices && devicesFrom) {
        *error = QStringLiteral("%1:%2: DEVICES and DEVICES_FROM exclude each other")
                     .arg(path, QString::number(qMax(seen.value(QStringLiteral("DEVICES")),
                                                     seen.value(QStringLiteral("DEVICES_FROM")))));
        return false;
    }
    if (!seen.contains(QStringLiteral("IMAGE"))) {
        *error = QStringLiteral("%1: IMAGE missing").arg(path);
        return false;
    }
    if (!devices && !devicesFrom) {
        *error = QStringLiteral("%1: DEVICES or DEVICES_FROM missing").arg(path);
        return false;
    }
    return true;
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
    StationInput input;
    QHash<QString, int> seen; // key -> line
    const QList<QByteArray> lines = bytes->split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        ConfigLine line{
            {}, {}, QStringLiteral("%1:%2: ").arg(path, QString::number(i + 1)), &folder};
        const LineShape shape = splitLine(lines[i], &line, error);
        if (shape == LineShape::Refused)
            return std::nullopt;
        if (shape == LineShape::Blank)
            continue;
        const KeyReader reader = keyReaders().value(line.key);
        if (!reader) {
            *error = line.where + QStringLiteral("unknown key %1").arg(line.key);
            return std::nullopt;
        }
        if (seen.contains(line.key)) {
            *error = line.where + QStringLiteral("%1 given again (first on line %2)")
                                      .arg(line.key, QString::number(seen.value(line.key)));
            return std::nullopt;
        }
        seen.insert(line.key, i + 1);
        if (!reader(line, &input, error))
            return std::nullopt;
    }
    if (!checkKeysGiven(path, seen, error))
        return std::nullopt;
    return input;
}
