#include "cli/progressreporter.h"

#include <cstdio>
#include <unistd.h>

namespace {

constexpr int BarWidth = 40;

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

} // namespace

ProgressReporter::Progress ProgressReporter::progressFor(bool quiet, bool verbose)
{
    if (quiet)
        return Progress::None;
    return ::isatty(STDERR_FILENO) && !verbose ? Progress::Bars : Progress::Lines;
}

ProgressReporter::ProgressReporter(Progress progress, bool verbose)
    : m_progress(progress), m_verbose(verbose)
{
}

int ProgressReporter::addDevice(const QString &label)
{
    Device device;
    device.label = label;
    m_devices.append(device);
    m_labelWidth = qMax(m_labelWidth, label.size());
    return m_devices.size() - 1;
}

void ProgressReporter::begin()
{
    if (m_progress == Progress::Bars)
        drawBars();
}

void ProgressReporter::progress(int device, int percent)
{
    Device &state = m_devices[device];
    state.percent = percent;
    if (m_progress == Progress::Bars) {
        drawBars();
        return;
    }
    if (m_progress != Progress::Lines)
        return;
    while (state.tenthsShown < percent / 10) {
        ++state.tenthsShown;
        std::fprintf(stderr, "%s  %3d %%\n", qPrintable(paddedLabel(device)),
                     state.tenthsShown * 10);
    }
}

void ProgressReporter::commandAnswered(int device, const char *name, quint8 sequence,
                                       Datagram::ReplyKind answer, quint8 status,
                                       qint64 roundTripUs)
{
    if (!m_verbose)
        return;
    std::fprintf(stderr, "%s  %-16s seq %3u  %s 0x%02x  %.3f ms\n", qPrintable(paddedLabel(device)),
                 name, unsigned(sequence), answerText(answer), unsigned(status),
                 double(roundTripUs) / 1000.0);
}

void ProgressReporter::noticeSent(int device, const char *name, quint8 sequence)
{
    if (!m_verbose)
        return;
    std::fprintf(stderr, "%s  %-16s seq %3u  notice, not answered\n",
                 qPrintable(paddedLabel(device)), name, unsigned(sequence));
}

void ProgressReporter::deviceFinished(int device, const QString &result)
{
    m_devices[device].result = result;
    if (m_progress == Progress::Bars)
        drawBars();
}

void ProgressReporter::summary(int device, const QString &result, qint64 elapsedMs,
                               const QString &detail)
{
    std::fprintf(stdout, "%s  %-17s %7.2f s  %s\n", qPrintable(paddedLabel(device)),
                 qPrintable(result), double(elapsedMs) / 1000.0, qPrintable(detail));
    std::fflush(stdout);
}

void ProgressReporter::drawBars()
{
    if (m_barsDrawn)
        std::fprintf(stderr, "\x1b[%dA", m_devices.size()); // back to the first bar
    for (int i = 0; i < m_devices.size(); ++i) {
        const int filled = m_devices[i].percent * BarWidth / 100;
        std::fprintf(stderr, "\r\x1b[2K%s  [%s%s] %3d %%  %s\n", qPrintable(paddedLabel(i)),
                     QByteArray(filled, '#').constData(),
                     QByteArray(BarWidth - filled, '.').constData(), m_devices[i].percent,
                     qPrintable(m_devices[i].result));
    }
    std::fflush(stderr);
    m_barsDrawn = true;
}

QString ProgressReporter::paddedLabel(int device) const
{
    return m_devices[device].label.leftJustified(m_labelWidth);
}
