#include "session/progressreporter.h"

#include "posix/output.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <cstdarg>
#include <unistd.h>

namespace {

constexpr int BarWidth = 40;
// A terminal redrawn per datagram for 64 devices took tens of megabytes an upload.
constexpr int BarRedrawMs = 100;
constexpr int JsonSchema = 1;

const char *answerText(Datagram::ReplyKind answer)
{
    switch (answer) {
    case Datagram::ReplyKind::KeepAlive:
        return "keep-alive";
    case Datagram::ReplyKind::Success:
        return "success";
    case Datagram::ReplyKind::Failure:
        return "FAILURE";
    case Datagram::ReplyKind::SequenceMismatch:
    case Datagram::ReplyKind::Nothing:
        break;
    }
    return "?";
}

QByteArray line(const char *format, ...) __attribute__((format(printf, 1, 2)));
QByteArray line(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const QByteArray text = QString::vasprintf(format, arguments).toLocal8Bit();
    va_end(arguments);
    return text;
}

} // namespace

QJsonObject ProgressReporter::roundTrips(QVector<qint64> us)
{
    QJsonObject trips{{"count", us.size()}};
    if (us.isEmpty())
        return trips;
    std::sort(us.begin(), us.end());
    trips.insert("min_us", us.constFirst());
    trips.insert("median_us", us.at(us.size() / 2));
    trips.insert("max_us", us.constLast());
    return trips;
}

ProgressReporter::Progress ProgressReporter::progressFor(bool quiet, bool verbose)
{
    if (quiet)
        return Progress::None;
    return ::isatty(STDERR_FILENO) && !verbose ? Progress::Bars : Progress::Lines;
}

QJsonValue ProgressReporter::interfaceJson(const QString &interface)
{
    return interface.isEmpty() ? QJsonValue() : QJsonValue(interface);
}

ProgressReporter::ProgressReporter(Progress progress, bool verbose, bool json, bool quiet)
    : m_progress(json ? Progress::None : progress), m_verbose(verbose), m_json(json), m_quiet(quiet)
{
}

int ProgressReporter::addDevice(const QString &label, const QString &operation,
                                const QString &interface)
{
    Device device;
    device.label = label;
    device.operation = operation;
    device.interface = interface;
    m_devices.append(device);
    m_labelWidth = qMax(m_labelWidth, int(label.size()));
    return int(m_devices.size()) - 1;
}

void ProgressReporter::begin()
{
    for (int i = 0; i < m_devices.size(); ++i)
        event(i, "start", {{"operation", m_devices[i].operation}});
    if (m_progress == Progress::Bars)
        drawBars(true);
}

void ProgressReporter::progress(int device, int percent)
{
    Device &state = m_devices[device];
    state.percent = percent;
    if (m_progress == Progress::Bars) {
        drawBars(false);
        return;
    }
    while (state.tenthsShown < percent / 10) {
        ++state.tenthsShown;
        if (m_json)
            event(device, "progress", {{"percent", state.tenthsShown * 10}});
        else if (m_progress == Progress::Lines)
            Output::message(
                line("%s  %3d %%\n", qPrintable(paddedLabel(device)), state.tenthsShown * 10));
    }
}

void ProgressReporter::commandAnswered(int device, const char *name, quint8 sequence,
                                       Datagram::ReplyKind answer, quint8 status,
                                       qint64 roundTripUs)
{
    if (!m_devices[device].waiting.isEmpty()) {
        m_devices[device].waiting.clear();
        if (m_progress == Progress::Bars)
            drawBars(true);
    }
    if (!m_verbose)
        return;
    Output::message(line("%s  %-16s seq %3u  %s 0x%02x  %.3f ms\n", qPrintable(paddedLabel(device)),
                         name, unsigned(sequence), answerText(answer), unsigned(status),
                         double(roundTripUs) / 1000.0));
}

void ProgressReporter::noticeSent(int device, const char *name, quint8 sequence)
{
    if (!m_verbose)
        return;
    Output::message(line("%s  %-16s seq %3u  notice, not answered\n",
                         qPrintable(paddedLabel(device)), name, unsigned(sequence)));
}

void ProgressReporter::requestRepeated(int device, const char *name, quint8 sequence, int attempt)
{
    if (m_json)
        event(device, "retry",
              {{"command", QLatin1String(name)}, {"sequence", sequence}, {"attempt", attempt}});
    else if (m_verbose)
        Output::message(line("%s  %-16s seq %3u  sent again (retry %d)\n",
                             qPrintable(paddedLabel(device)), name, unsigned(sequence), attempt));
}

void ProgressReporter::waiting(int device, int givesUpAfterMs)
{
    const double seconds = givesUpAfterMs / 1000.0;
    const QString text =
        QStringLiteral("no answer yet; given up after %1 s").arg(QString::number(seconds, 'g', 6));
    if (m_json) {
        event(device, "waiting", {{"gives_up_after_seconds", seconds}});
    } else if (m_progress == Progress::Bars) {
        m_devices[device].waiting = QStringLiteral("waiting: ") + text;
        drawBars(true);
    } else if (!m_quiet) {
        Output::message(
            line("waiting for %s: %s\n", qPrintable(m_devices[device].label), qPrintable(text)));
    }
}

void ProgressReporter::verdict(int device, bool success, const QString &detail)
{
    event(device, "verdict", {{"success", success}, {"detail", detail}});
}

void ProgressReporter::deviceFinished(int device, const QString &result)
{
    m_devices[device].result = result;
    if (m_progress == Progress::Bars)
        drawBars(true);
}

void ProgressReporter::summary(int device, const Summary &summary)
{
    if (m_json) {
        QJsonObject fields{{"operation", summary.operation},
                           {"steps", QJsonArray::fromStringList(summary.steps)},
                           {"result", summary.result},
                           {"exit_status", summary.exitStatus},
                           {"seconds", double(summary.elapsedMs) / 1000.0},
                           {"bytes_sent", double(summary.bytesSent)},
                           {"retries", summary.retries},
                           {"late_replies", summary.lateReplies},
                           {"round_trips", roundTrips(summary.roundTripsUs)},
                           {"detail", summary.detail},
                           {"interface", interfaceJson(m_devices[device].interface)}};
        if (!summary.imageSha256.isEmpty())
            fields.insert("image_sha256", summary.imageSha256);
        event(device, "result", fields);
        return;
    }
    // Which of the steps asked for ran: a failure names the step that failed.
    const QString steps = !summary.chained ? QString()
                          : summary.steps.isEmpty()
                              ? QStringLiteral("no step run: ")
                              : summary.steps.join(QStringLiteral(", ")) + QStringLiteral(": ");
    Output::report(line("%s  %-17s %7.2f s  %s%s\n", qPrintable(paddedLabel(device)),
                        qPrintable(summary.result), double(summary.elapsedMs) / 1000.0,
                        qPrintable(steps), qPrintable(summary.detail)));
}

void ProgressReporter::event(int device, const char *name, QJsonObject fields)
{
    if (!m_json)
        return;
    fields.insert("schema", JsonSchema);
    fields.insert("event", QLatin1String(name));
    fields.insert("device", m_devices[device].label);
    Output::report(QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n');
}

void ProgressReporter::drawBars(bool now)
{
    if (!now && m_sinceDrawn.isValid() && !m_sinceDrawn.hasExpired(BarRedrawMs))
        return;
    m_sinceDrawn.start();
    QByteArray text;
    if (m_barsDrawn)
        text += line("\x1b[%dA", int(m_devices.size())); // back to the first bar
    for (int i = 0; i < m_devices.size(); ++i) {
        const int filled = m_devices[i].percent * BarWidth / 100;
        text += line(
            "\r\x1b[2K%s  [%s%s] %3d %%  %s\n", qPrintable(paddedLabel(i)),
            QByteArray(filled, '#').constData(), QByteArray(BarWidth - filled, '.').constData(),
            m_devices[i].percent,
            qPrintable(m_devices[i].result.isEmpty() ? m_devices[i].waiting : m_devices[i].result));
    }
    Output::message(text);
    m_barsDrawn = true;
}

QString ProgressReporter::paddedLabel(int device) const
{
    return m_devices[device].label.leftJustified(m_labelWidth);
}
