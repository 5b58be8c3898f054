#include "station/metrics.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const StepNames[] = {"upload", "check", "start"};
const char *const StateNames[] = {"waiting", "flashing", "remove", "stopped"};
// Seconds: a step on loopback takes a tenth, a slow device's upload a minute.
const double Bounds[] = {0.1, 0.25, 0.5, 1, 2.5, 5, 10, 25, 50, 100, 250};
constexpr int BoundCount = int(sizeof Bounds / sizeof Bounds[0]);

QString escaped(QString value)
{
    return value.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('"'), QLatin1String("\\\""))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"));
}

// name{key="value",...}
QString series(const char *name, const QList<QPair<const char *, QString>> &labels)
{
    QStringList pairs;
    for (const auto &label : labels)
        pairs << QStringLiteral("%1=\"%2\"").arg(QLatin1String(label.first), escaped(label.second));
    return QLatin1String(name) + QLatin1Char('{') + pairs.join(QLatin1Char(',')) + QLatin1Char('}');
}

QString header(const char *name, const char *type, const char *help)
{
    return QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n")
        .arg(QLatin1String(name), QLatin1String(help), QLatin1String(type));
}

QString seconds(const QDateTime &time)
{
    return QString::number(double(time.toMSecsSinceEpoch()) / 1000.0, 'f', 3);
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

StationMetrics::StationMetrics(const Identity &identity, const QStringList &slotLabels)
    : m_identity(identity), m_slots(slotLabels), m_states(slotLabels.size(), SlotState::Waiting),
      m_boards(slotLabels.size()), m_steps(3), m_started(QDateTime::currentDateTimeUtc())
{
    for (QHash<QString, qint64> &boards : m_boards) // a series exists before its first board
        boards = {{QStringLiteral("ok"), 0}, {QStringLiteral("failed"), 0}};
    for (Histogram &step : m_steps)
        step.buckets.fill(0, BoundCount);
}

void StationMetrics::setState(int slot, SlotState state)
{
    m_states[slot] = state;
}

void StationMetrics::addBoard(int slot, const QString &result, const QJsonObject &seconds)
{
    ++m_boards[slot][result];
    m_lastBoard = QDateTime::currentDateTimeUtc();
    for (int i = 0; i < m_steps.size(); ++i) {
        const QJsonValue took = seconds.value(QLatin1String(StepNames[i]));
        if (!took.isDouble())
            continue;
        Histogram &step = m_steps[i];
        for (int b = 0; b < BoundCount; ++b)
            step.buckets[b] += took.toDouble() <= Bounds[b];
        step.sum += took.toDouble();
        ++step.count;
    }
}

QByteArray StationMetrics::text() const
{
    const QString &station = m_identity.station;
    QString out = header("bootloader_station_boards_total", "counter",
                         "Boards finished, by slot and result (ok, failed, no answer, ...).");
    for (int i = 0; i < m_slots.size(); ++i) {
        QStringList results = m_boards[i].keys();
        results.sort();
        for (const QString &result : qAsConst(results))
            out += series("bootloader_station_boards_total",
                          {{"station", station}, {"slot", m_slots[i]}, {"result", result}}) +
                   QStringLiteral(" %1\n").arg(m_boards[i].value(result));
    }
    out += header("bootloader_station_board_step_seconds", "histogram",
                  "Seconds a board's step took: upload, check, start.");
    for (int s = 0; s < m_steps.size(); ++s) {
        const QString step = QLatin1String(StepNames[s]);
        for (int b = 0; b <= BoundCount; ++b)
            out += series("bootloader_station_board_step_seconds_bucket",
                          {{"station", station},
                           {"step", step},
                           {"le", b < BoundCount ? QString::number(Bounds[b]) : "+Inf"}}) +
                   QStringLiteral(" %1\n").arg(b < BoundCount ? m_steps[s].buckets[b]
                                                              : m_steps[s].count);
        const QList<QPair<const char *, QString>> labels{{"station", station}, {"step", step}};
        out += series("bootloader_station_board_step_seconds_sum", labels) +
               QStringLiteral(" %1\n").arg(m_steps[s].sum, 0, 'f', 3) +
               series("bootloader_station_board_step_seconds_count", labels) +
               QStringLiteral(" %1\n").arg(m_steps[s].count);
    }
    return out.toUtf8() + gauges();
}

QByteArray StationMetrics::gauges() const
{
    const QString &station = m_identity.station;
    QString out = header("bootloader_station_slot_state", "gauge",
                         "1 for the state each slot is in: waiting, flashing, remove (the board is "
                         "done and still in the slot), stopped.");
    for (int i = 0; i < m_slots.size(); ++i)
        for (int s = 0; s < 4; ++s)
            out +=
                series("bootloader_station_slot_state", {{"station", station},
                                                         {"slot", m_slots[i]},
                                                         {"state", QLatin1String(StateNames[s])}}) +
                QStringLiteral(" %1\n").arg(int(m_states[i]) == s ? 1 : 0);
    out += header("bootloader_station_last_board_timestamp_seconds", "gauge",
                  "When the last board finished (Unix time); 0 before the first.");
    out += series("bootloader_station_last_board_timestamp_seconds", {{"station", station}}) +
           QLatin1Char(' ') + (m_lastBoard.isValid() ? seconds(m_lastBoard) : "0") + '\n';
    out += header("bootloader_station_start_time_seconds", "gauge",
                  "When this run of the station started (Unix time).");
    out += series("bootloader_station_start_time_seconds",
                  {{"station", station}, {"run", m_identity.run}}) +
           QLatin1Char(' ') + seconds(m_started) + '\n';
    out += header("bootloader_station_image_info", "gauge", "The image the station flashes.");
    out += series("bootloader_station_image_info", {{"station", station},
                                                    {"image_sha256", m_identity.imageSha256},
                                                    {"image", m_identity.image}}) +
           QStringLiteral(" 1\n");
    return out.toUtf8();
}

bool StationMetrics::write(const QString &path, QString *error) const
{
    const QFileInfo target(path);
    if (target.exists() && !target.isFile()) { // rename() would replace a FIFO or a device
        *error = QStringLiteral("not a regular file");
        return false;
    }
    // Hidden and not ending in .prom: the collector never reads the temporary file.
    QByteArray temporary =
        QFile::encodeName(target.absolutePath() + QStringLiteral("/.") + target.fileName()) +
        ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = systemError();
        return false;
    }
    const QByteArray bytes = text();
    const bool written = ::fchmod(fd, 0644) == 0 &&
                         ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    *error = written ? QString() : systemError();
    if (::close(fd) != 0 && written)
        *error = systemError();
    if (error->isEmpty() &&
        ::rename(temporary.constData(), QFile::encodeName(path).constData()) == 0)
        return true;
    if (error->isEmpty())
        *error = systemError();
    ::unlink(temporary.constData());
    return false;
}
