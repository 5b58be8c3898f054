#include "station/stationdisplay.h"

#include "posix/output.h"
#include "posix/terminalresize.h"
#include "station/slotline.h"

#include <QJsonDocument>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int RedrawMs = 100; // as the upload's bars: a line per datagram would flood the terminal
constexpr int JsonSchema = 1;

int terminalWidth()
{
    struct winsize size = {};
    return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

} // namespace

int StationDisplay::Totals::total() const
{
    return passed + failed;
}

double StationDisplay::Totals::yieldPercent() const
{
    return total() ? 100.0 * passed / total() : 0.0;
}

double StationDisplay::Totals::boardsPerHour() const
{
    return elapsedMs > 0 ? total() * 3600000.0 / double(elapsedMs) : 0.0;
}

QString StationDisplay::Totals::text() const
{
    return QStringLiteral("passed %1, failed %2, total %3, yield %4 %, %5 boards/h")
        .arg(QString::number(passed), QString::number(failed), QString::number(total()),
             QString::number(yieldPercent(), 'f', 1), QString::number(boardsPerHour(), 'f', 0));
}

QJsonObject StationDisplay::Totals::json() const
{
    return {{"passed", passed},
            {"failed", failed},
            {"total", total()},
            {"yield_percent", yieldPercent()},
            {"boards_per_hour", boardsPerHour()},
            {"seconds", double(elapsedMs) / 1000.0}};
}

StationDisplay::Mode StationDisplay::modeFor(bool quiet)
{
    if (quiet)
        return Mode::None;
    return ::isatty(STDERR_FILENO) ? Mode::Screen : Mode::Lines;
}

StationDisplay::StationDisplay(Mode mode, bool json, const QStringList &slotLabels)
    : m_mode(mode), m_json(json), m_labels(slotLabels)
{
    for (const QString &label : slotLabels) {
        m_states.append(QString());
        m_macs.append(QString());
        m_labelWidth = qMax(m_labelWidth, int(label.size()));
    }
    m_sinceStart.start();
    m_redraw.setSingleShot(true);
    QObject::connect(&m_redraw, &QTimer::timeout, [this] { draw(); });
    if (mode != Mode::Screen)
        return;
    m_width = terminalWidth();
    TerminalResize::onResize(&m_redraw, [this] {
        m_width = terminalWidth();
        m_sinceDrawn.invalidate();
        draw();
    });
}

void StationDisplay::setState(int slot, int board, const QString &state)
{
    const QString mac = m_macs[slot].isEmpty() ? QString() : QLatin1Char(' ') + m_macs[slot];
    m_states[slot] = board > 0
                         ? QStringLiteral("board %1%2  %3").arg(QString::number(board), mac, state)
                         : state;
    draw();
}

void StationDisplay::setHardwareAddress(int slot, const QString &mac)
{
    m_macs[slot] = mac;
}

void StationDisplay::setCounts(int passed, int failed)
{
    m_totals.passed = passed;
    m_totals.failed = failed;
    draw();
}

void StationDisplay::event(int slot, int board, const char *name, const QString &text,
                           QJsonObject fields)
{
    if (m_mode == Mode::Lines)
        Output::message(
            QStringLiteral("%1  board %2  %3\n")
                .arg(m_labels[slot].leftJustified(m_labelWidth), QString::number(board), text)
                .toLocal8Bit());
    if (!m_json)
        return;
    fields.insert("schema", JsonSchema);
    fields.insert("event", QLatin1String(name));
    fields.insert("slot", m_labels[slot]);
    fields.insert("board", board);
    Output::report(QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n');
    std::fflush(stdout); // a reader follows the station as it goes
}

void StationDisplay::note(const QString &text)
{
    QByteArray bytes = text.toLocal8Bit() + '\n';
    if (m_mode == Mode::Screen && m_drawn) // over the first slot line; the lines follow
        bytes.prepend("\x1b[" + QByteArray::number(m_labels.size() + 1) + "A\r\x1b[2K");
    Output::message(bytes);
    m_drawn = false;
    m_sinceDrawn.invalidate();
    draw();
}

void StationDisplay::record(const QByteArray &line)
{
    if (!m_json)
        return;
    Output::report(line);
    std::fflush(stdout);
}

void StationDisplay::finish()
{
    m_redraw.stop();
    m_totals.elapsedMs = m_sinceStart.elapsed();
    if (m_mode == Mode::Screen)
        m_sinceDrawn.invalidate(), draw();
    else
        Output::message(
            QStringLiteral("bootloader-cli: station: %1\n").arg(m_totals.text()).toLocal8Bit());
    if (m_json) {
        QJsonObject totals = m_totals.json();
        totals.insert("schema", JsonSchema);
        totals.insert("event", QLatin1String("totals"));
        Output::report(QJsonDocument(totals).toJson(QJsonDocument::Compact) + '\n');
    }
}

void StationDisplay::draw()
{
    if (m_mode != Mode::Screen)
        return;
    if (m_sinceDrawn.isValid() && !m_sinceDrawn.hasExpired(RedrawMs)) {
        if (!m_redraw.isActive())
            m_redraw.start(int(RedrawMs - m_sinceDrawn.elapsed()));
        return;
    }
    m_sinceDrawn.start();
    // A line wider than the terminal would wrap, and the cursor would go back too few lines.
    const int width = m_width - 1;
    QStringList lines;
    for (int i = 0; i < m_labels.size(); ++i)
        lines << slotLine(m_labels[i].leftJustified(m_labelWidth), m_states[i], width);
    m_totals.elapsedMs = m_sinceStart.elapsed();
    lines << m_totals.text();
    QByteArray text;
    if (m_drawn)
        text += "\x1b[" + QByteArray::number(lines.size()) + 'A'; // back to the first line
    for (const QString &line : lines)
        text += "\r\x1b[2K" + line.left(width).toLocal8Bit() + '\n';
    Output::message(text);
    std::fflush(stderr);
    m_drawn = true;
}
