#include "station/station.h"

#include "core/firmwareimage.h"
#include "posix/output.h"
#include "session/imagepin.h"
#include "session/progressreporter.h"
#include "session/sessionresult.h"
#include "session/uploadimage.h"
#include "station/journal.h"
#include "station/stationdisplay.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QTimer>
#include <algorithm>
#include <utility>

using Operation = DeviceSession::Operation;
using Result = DeviceSession::Result;

namespace {

constexpr int JsonSchema = 1;
constexpr int StepCount = 3; // upload, check, start
const char *const StepNames[StepCount] = {"upload", "check", "start"};
constexpr int QuietTicks = 2; // ping intervals without an answer: the board has fallen silent
constexpr int MetricsBeatMs = 60000;

QJsonValue macJson(const QString &mac)
{
    return mac.isEmpty() ? QJsonValue() : QJsonValue(mac);
}

void dispose(std::unique_ptr<DeviceSession> &session)
{
    // Often called from one of the session's own signals: it must outlive the emission. A
    // finished session ignores interrupt(); a watch falls silent at once.
    if (!session)
        return;
    session->interrupt();
    session.release()->deleteLater();
}

} // namespace

struct Station::Slot
{
    enum class Phase { Idle, Waiting, Busy, Emptying };

    int index = 0;
    DeviceTarget device;
    QString mac; // the board's Ethernet address, as the neighbour table has it; empty: unknown
    Phase phase = Phase::Idle;
    int board = 0;                         // boards begun here
    std::unique_ptr<DeviceSession> prober; // Watch: waiting for a board, or for it to leave
    // The board in progress: upload, check and start in one session.
    std::unique_ptr<DeviceSession> step;
    QElapsedTimer clock;
    QVector<double> verdictsAt; // seconds from its start to the verdicts on upload and check
    // While emptying, silence is counted in ping intervals without a keep-alive, not in time
    // alone: a station that was kept from running for a while has not heard silence.
    QTimer tick;
    bool heard = false;
    int missed = 0;
    QString verdict;
};

Station::Station(const StationSettings &settings, Journal &journal, StationDisplay &display,
                 QObject *parent)
    : QObject(parent), m_settings(settings), m_journal(journal), m_display(display),
      m_refresh(NeighbourTable::mayChange())
{
    m_imageChecksum = checksumText(inspectImage(settings.image).storedChecksum);
    m_imageSha256 = ImagePin::sha256(settings.image);
    for (int i = 0; i < settings.devices.size(); ++i) {
        auto slot = std::make_unique<Slot>();
        slot->index = i;
        slot->device = settings.devices[i];
        slot->board = settings.lastBoards.value(slot->device.label()); // numbers go on
        slot->tick.setInterval(settings.pingIntervalMs);
        // In step with the watch's pings: a coarse timer may fire just after the answer to the
        // ping sent with it, and a board that came back at --gone-after would look never gone.
        slot->tick.setTimerType(Qt::PreciseTimer);
        Slot *raw = slot.get();
        connect(&slot->tick, &QTimer::timeout, this, [this, raw] { onTick(*raw); });
        m_slots.push_back(std::move(slot));
    }
    if (settings.metricsPath.isEmpty())
        return;
    QStringList labels;
    for (const DeviceTarget &device : settings.devices)
        labels << device.label();
    m_metrics = std::make_unique<StationMetrics>(
        StationMetrics::Identity{settings.name, settings.run, m_imageSha256, settings.imagePath},
        labels);
    m_metricsBeat.setInterval(MetricsBeatMs);
    connect(&m_metricsBeat, &QTimer::timeout, this,
            [this] { keepMetrics(-1, StationMetrics::SlotState::Waiting); });
    m_metricsBeat.start();
}

Station::~Station() = default;

void Station::start()
{
    sayJournalNotices();
    m_display.setCounts(m_passed, m_failed);
    const bool onNetwork = std::any_of(m_slots.cbegin(), m_slots.cend(), [](const auto &slot) {
        return !slot->device.address.isLoopback();
    });
    if (onNetwork && !m_refresh)
        sayNoRefresh();
    for (const auto &slot : m_slots)
        arm(*slot);
    settle();
}

void Station::signal(int signalNumber)
{
    m_signalled = true;
    if (!m_stopping) {
        m_stopping = true;
        m_display.note(QStringLiteral("bootloader-cli: station: stopping; boards in progress "
                                      "finish (signal again to interrupt them)"));
    } else {
        m_interruptedBy = signalNumber;
        Output::stopWaiting(); // nor may a paused reader of stdout hold the station any longer
        for (const auto &slot : m_slots) {
            if (slot->step)
                slot->step->interrupt(); // finishes at once, and the board is journalled
        }
    }
    settle();
    if (m_finished) // also when it finished before: the signal ends the wait for stdout's reader
        Output::stopWaiting();
}

int Station::exitStatus() const
{
    if (m_interruptedBy)
        return 128 + m_interruptedBy;
    // A board's failure wins over a lost record.
    return m_worst == 0 && m_journalFailed ? int(Output::ExitReportLost) : m_worst;
}

bool Station::arming() const
{
    return !m_stopping && (m_settings.count == 0 || m_begun < m_settings.count);
}

void Station::arm(Slot &slot)
{
    slot.phase = Slot::Phase::Waiting;
    slot.verdict.clear();
    m_display.setState(slot.index, 0, QStringLiteral("waiting"));
    keepMetrics(slot.index, StationMetrics::SlotState::Waiting);
    if (!slot.prober)
        watch(slot);
}

void Station::watch(Slot &slot)
{
    DeviceSession::Settings probing = m_settings.session;
    probing.pingIntervalMs = m_settings.pingIntervalMs;
    slot.prober =
        std::make_unique<DeviceSession>(slot.device, Operation::Watch, QByteArray(), probing);
    DeviceSession *prober = slot.prober.get();
    connect(prober, &DeviceSession::commandAnswered, this, [this, &slot] { onKeepAlive(slot); });
    connect(prober, &DeviceSession::finished, this, [this, &slot, prober] {
        if (prober->result() == Result::Interrupted || slot.prober.get() != prober)
            return;
        // Only a socket that cannot be had ends a watch: say why, and try again later.
        m_display.setState(slot.index, 0, QStringLiteral("waiting: ") + prober->detail());
        dispose(slot.prober);
        QTimer::singleShot(m_settings.pingIntervalMs, this, [this, &slot] {
            if (!slot.prober &&
                (slot.phase == Slot::Phase::Waiting || slot.phase == Slot::Phase::Emptying))
                watch(slot);
        });
    });
    prober->start();
}

void Station::sayNoRefresh()
{
    m_refresh = false;
    m_display.note(QStringLiteral(
        "bootloader-cli: station: without CAP_NET_ADMIN the neighbour table cannot be "
        "refreshed: a swapped board may take up to a minute to be seen (grant it with "
        "AmbientCapabilities=CAP_NET_ADMIN, as the package's service does, or "
        "setcap cap_net_admin+ep on bootloader-cli)"));
}

void Station::refresh(Slot &slot)
{
    // The kernel asks afresh at the next ping: a pulled board is silent at once, and another
    // one answers with its own Ethernet address.
    QString error;
    if (m_refresh && m_neighbours.drop(slot.device.address, slot.device.interface, &error) ==
                         NeighbourTable::Drop::NotPermitted)
        sayNoRefresh();
}

bool Station::swapped(Slot &slot)
{
    if (slot.mac.isEmpty())
        return false;
    const QString now = m_neighbours.hardwareAddress(slot.device.address, slot.device.interface);
    if (now.isEmpty() || now == slot.mac)
        return false;
    // Another board answers, however soon after the last one: it is new, and flashed.
    slot.tick.stop();
    m_display.event(slot.index, slot.board, "removed",
                    QStringLiteral("removed (%1 answers instead)").arg(now));
    arm(slot);
    settle();
    return true;
}

void Station::onKeepAlive(Slot &slot)
{
    if (slot.phase == Slot::Phase::Emptying && !swapped(slot)) {
        slot.heard = true;
        if (slot.missed >= QuietTicks)
            m_display.setState(slot.index, slot.board,
                               slot.verdict + QStringLiteral(" (remove board)"));
        slot.missed = 0;
        return;
    }
    if (slot.phase != Slot::Phase::Waiting || !arming() || !roomForRecord(slot))
        return;
    // A board answers: it is flashed once, on a session of its own.
    ++m_begun;
    ++slot.board;
    slot.phase = Slot::Phase::Busy;
    dispose(slot.prober);
    slot.mac = m_neighbours.hardwareAddress(slot.device.address, slot.device.interface);
    m_display.setHardwareAddress(slot.index, slot.mac);
    m_display.event(slot.index, slot.board, "present",
                    slot.mac.isEmpty() ? QStringLiteral("present")
                                       : QStringLiteral("present, ") + slot.mac,
                    {{"mac", macJson(slot.mac)}});
    keepMetrics(slot.index, StationMetrics::SlotState::Flashing);
    flash(slot);
    settle();
}

void Station::onTick(Slot &slot)
{
    refresh(slot);
    if (std::exchange(slot.heard, false)) {
        slot.missed = 0;
        return;
    }
    if (++slot.missed == QuietTicks)
        m_display.setState(slot.index, slot.board,
                           slot.verdict.section(QLatin1Char(':'), 0, 0) +
                               QStringLiteral(", waiting for removal"));
    if (slot.missed * m_settings.pingIntervalMs < m_settings.goneAfterMs)
        return;
    slot.tick.stop();
    m_display.event(slot.index, slot.board, "removed", QStringLiteral("removed"));
    arm(slot);
    settle();
}

void Station::flash(Slot &slot)
{
    slot.step = std::make_unique<DeviceSession>(slot.device, Operation::Upload, m_settings.image,
                                                m_settings.session);
    DeviceSession *step = slot.step.get();
    step->setNextSteps(m_settings.noStart
                           ? QVector<Operation>{Operation::Check}
                           : QVector<Operation>{Operation::Check, Operation::StartApplication});
    const int board = slot.board;
    m_display.setState(slot.index, board, QStringLiteral("erasing"));
    connect(step, &DeviceSession::progressChanged, this, [this, &slot, board](int percent) {
        m_display.setState(slot.index, board, QStringLiteral("uploading %1 %").arg(percent));
    });
    connect(step, &DeviceSession::commandAnswered, this,
            [this, &slot, board](const char *name, quint8, Datagram::ReplyKind answer) {
                const bool end = qstrcmp(name, CommandName::End) == 0;
                if (!end && qstrcmp(name, CommandName::Check) != 0)
                    return;
                slot.verdictsAt << double(slot.clock.nsecsElapsed()) / 1e9;
                if (answer == Datagram::ReplyKind::Success)
                    m_display.setState(slot.index, board,
                                       end ? QStringLiteral("checking")
                                           : QStringLiteral("starting"));
            });
    connect(step, &DeviceSession::finished, this, [this, &slot] { finishBoard(slot); });
    slot.verdictsAt.clear();
    slot.clock.start();
    step->start();
}

QJsonObject Station::stepSeconds(const Slot &slot, QStringList *steps) const
{
    // Each step ends with its verdict, the last one with the session.
    QVector<double> bounds = QVector<double>{0} + slot.verdictsAt;
    bounds << double(slot.clock.nsecsElapsed()) / 1e9;
    QJsonObject seconds;
    for (int i = 0; i < StepCount; ++i) {
        const bool ran = i < slot.step->stepsRun().size();
        const double took = ran ? qRound((bounds[i + 1] - bounds[i]) * 1000) / 1000.0 : 0;
        seconds.insert(QLatin1String(StepNames[i]), ran ? QJsonValue(took) : QJsonValue());
        if (ran)
            *steps << QLatin1String(StepNames[i]) + QStringLiteral(" %1 s").arg(took, 0, 'f', 2);
    }
    return seconds;
}

QJsonObject Station::boardRecord(const Slot &slot, const QJsonObject &seconds) const
{
    const DeviceSession &step = *slot.step;
    return QJsonObject{
        {"schema", JsonSchema},
        {"event", "board"},
        {"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {"host", QSysInfo::machineHostName()},
        {"station", m_settings.name},
        {"run", m_settings.run},
        {"slot", slot.device.label()},
        {"interface", ProgressReporter::interfaceJson(slot.device.interface)},
        {"mac", macJson(slot.mac)},
        {"board", slot.board},
        {"image", m_settings.imagePath},
        {"image_checksum", m_imageChecksum},
        {"image_sha256", m_imageSha256},
        {"result", resultText(step.result())},
        {"detail", step.detail()},
        {"seconds", seconds},
        {"retries", step.retries()},
        {"late_replies", step.lateReplies()},
        {"round_trips", ProgressReporter::roundTrips(step.roundTripsUs())},
    };
}

void Station::reopenJournal()
{
    QString error;
    m_display.note(m_journal.reopen(&error)
                       ? QStringLiteral("bootloader-cli: SIGHUP: the journal was opened again")
                       : QStringLiteral("bootloader-cli: SIGHUP: the journal could not be opened "
                                        "again: %1; records go on in the file open before")
                             .arg(error));
}

void Station::sayJournalNotices()
{
    for (const QString &notice : m_journal.takeNotices())
        m_display.note(notice);
}

bool Station::roomForRecord(const Slot &slot)
{
    // A board whose record cannot be kept is not erased: room for its record, and for those of
    // the boards in progress, is reserved first.
    int records = 1;
    for (const auto &other : m_slots)
        records += other->phase == Slot::Phase::Busy;
    QString error;
    const bool room = m_journal.reserve(records, &error);
    sayJournalNotices();
    if (room)
        return true;
    m_journalFailed = true;
    m_stopping = true;
    m_display.note(QStringLiteral("bootloader-cli: %1: board not flashed: the journal cannot "
                                  "take its record: %2; stopping")
                       .arg(slot.device.label(), error));
    settle();
    return false;
}

void Station::keepRecord(const QByteArray &line)
{
    QString error;
    const bool kept = m_journalFailed || m_journal.append(line, &error);
    sayJournalNotices();
    if (kept)
        return;
    // A board whose record cannot be kept is not programmed: stop, and end the others.
    m_journalFailed = true;
    m_stopping = true;
    m_display.note(QStringLiteral("bootloader-cli: the journal could not be written: %1; "
                                  "stopping, boards in progress are interrupted")
                       .arg(error));
    for (const auto &other : m_slots) {
        if (other->step)
            other->step->interrupt();
    }
}

void Station::finishBoard(Slot &slot)
{
    const Result result = slot.step->result();
    const bool passed = result == Result::Succeeded;
    ++(passed ? m_passed : m_failed);
    if (result != Result::Interrupted || !m_journalFailed) // not a board's failure
        m_worst = qMax(m_worst, exitCodeFor(result));
    slot.verdict = passed ? QStringLiteral("PASS") : QStringLiteral("FAIL: ") + slot.step->detail();

    QStringList steps;
    const QJsonObject seconds = stepSeconds(slot, &steps);
    const QJsonObject record = boardRecord(slot, seconds);
    if (m_metrics)
        m_metrics->addBoard(slot.index, resultText(result), seconds);
    dispose(slot.step);
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    keepRecord(line);
    m_display.record(line);
    m_display.event(slot.index, slot.board, passed ? "pass" : "fail",
                    slot.verdict + QStringLiteral(" (") + steps.join(QStringLiteral(", ")) +
                        QLatin1Char(')'),
                    {{"result", resultText(result)}});
    m_display.setCounts(m_passed, m_failed);

    slot.phase = Slot::Phase::Emptying;
    m_display.setState(slot.index, slot.board, slot.verdict + QStringLiteral(" (remove board)"));
    keepMetrics(slot.index, StationMetrics::SlotState::Remove);
    slot.heard = false;
    slot.missed = 0;
    slot.tick.start();
    watch(slot);
    settle();
}

void Station::settle()
{
    if (m_finished)
        return;
    bool busy = false;
    for (const auto &slot : m_slots) {
        if (slot->phase == Slot::Phase::Busy) {
            busy = true;
        } else if (!arming() && slot->phase != Slot::Phase::Idle) {
            slot->phase = Slot::Phase::Idle;
            slot->tick.stop();
            dispose(slot->prober);
            if (slot->verdict.isEmpty())
                m_display.setState(slot->index, 0, QStringLiteral("stopped"));
            keepMetrics(slot->index, StationMetrics::SlotState::Stopped);
        }
    }
    if (busy || arming())
        return;
    m_finished = true;
    m_metricsBeat.stop();
    m_display.setCounts(m_passed, m_failed);
    if (m_signalled) // nothing is in progress any more: the station ends without waiting for
        Output::stopWaiting(); // a paused reader of stdout; what it did not take is counted
    emit finished();
}

void Station::keepMetrics(int slot, StationMetrics::SlotState state)
{
    if (!m_metrics)
        return;
    if (slot >= 0)
        m_metrics->setState(slot, state);
    // Said when writing fails and when it works again, not at each board: boards matter more
    // than the numbers about them, so a station goes on without.
    QString error;
    const bool written = m_metrics->write(m_settings.metricsPath, &error);
    if (written != m_metricsFailed)
        return;
    m_metricsFailed = !written;
    m_display.note(written ? QStringLiteral("bootloader-cli: the metrics are written again")
                           : QStringLiteral("bootloader-cli: the metrics %1 could not be "
                                            "written: %2; the station goes on without")
                                 .arg(m_settings.metricsPath, error));
}
