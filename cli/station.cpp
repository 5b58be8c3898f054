#include "cli/station.h"

#include "cli/journal.h"
#include "cli/output.h"
#include "cli/sessionrunner.h"
#include "cli/stationdisplay.h"
#include "core/firmwareimage.h"

#include <QDateTime>
#include <QJsonArray>
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

QJsonObject roundTrips(QVector<qint64> us)
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
    Phase phase = Phase::Idle;
    int board = 0;                         // boards begun here
    std::unique_ptr<DeviceSession> prober; // Watch: waiting for a board, or for it to leave
    std::unique_ptr<DeviceSession> step;   // the board's upload, check or start
    // While emptying, silence is counted in ping intervals without a keep-alive, not in time
    // alone: a station that was kept from running for a while has not heard silence.
    QTimer tick;
    bool heard = false;
    int missed = 0;
    QString verdict;

    // The board in progress.
    int stepIndex = 0;
    double seconds[StepCount] = {-1, -1, -1};
    Result result = Result::Pending;
    QString detail;
    int retries = 0;
    QVector<qint64> roundTripsUs;
};

Station::Station(const StationSettings &settings, Journal &journal, StationDisplay &display,
                 QObject *parent)
    : QObject(parent), m_settings(settings), m_journal(journal), m_display(display)
{
    m_imageChecksum = QStringLiteral("0x") +
                      QStringLiteral("%1")
                          .arg(inspectImage(settings.image).storedChecksum, 8, 16, QLatin1Char('0'))
                          .toUpper();
    for (int i = 0; i < settings.devices.size(); ++i) {
        auto slot = std::make_unique<Slot>();
        slot->index = i;
        slot->device = settings.devices[i];
        slot->tick.setInterval(settings.pingIntervalMs);
        Slot *raw = slot.get();
        connect(&slot->tick, &QTimer::timeout, this, [this, raw] { onTick(*raw); });
        m_slots.push_back(std::move(slot));
    }
}

Station::~Station() = default;

void Station::start()
{
    m_display.setCounts(m_passed, m_failed);
    for (const auto &slot : m_slots)
        arm(*slot);
    settle();
}

void Station::signal(int signalNumber)
{
    if (!m_stopping) {
        m_stopping = true;
        m_display.note(QStringLiteral("bootloader-cli: station: stopping; boards in progress "
                                      "finish (signal again to interrupt them)"));
    } else {
        m_interruptedBy = signalNumber;
        for (const auto &slot : m_slots) {
            if (slot->step)
                slot->step->interrupt(); // finishes at once, and the board is journalled
        }
    }
    settle();
}

int Station::exitStatus() const
{
    if (m_interruptedBy)
        return 128 + m_interruptedBy;
    return m_journalFailed ? int(Output::ExitReportLost) : m_worst;
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

void Station::onKeepAlive(Slot &slot)
{
    if (slot.phase == Slot::Phase::Emptying) {
        slot.heard = true;
        if (slot.missed >= QuietTicks)
            m_display.setState(slot.index, slot.board,
                               slot.verdict + QStringLiteral(" (remove board)"));
        slot.missed = 0;
        return;
    }
    if (slot.phase != Slot::Phase::Waiting || !arming())
        return;
    // A board answers: it is flashed once, on sessions of its own.
    ++m_begun;
    ++slot.board;
    slot.phase = Slot::Phase::Busy;
    dispose(slot.prober);
    std::fill(std::begin(slot.seconds), std::end(slot.seconds), -1.0);
    slot.stepIndex = 0;
    slot.retries = 0;
    slot.roundTripsUs.clear();
    m_display.event(slot.index, slot.board, "present", QStringLiteral("present"));
    runStep(slot, Operation::Upload);
    settle();
}

void Station::onTick(Slot &slot)
{
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

void Station::runStep(Slot &slot, Operation operation)
{
    dispose(slot.step);
    slot.step = std::make_unique<DeviceSession>(slot.device, operation, m_settings.image,
                                                m_settings.session);
    DeviceSession *step = slot.step.get();
    const int board = slot.board;
    if (operation == Operation::Upload) {
        m_display.setState(slot.index, board, QStringLiteral("erasing"));
        connect(step, &DeviceSession::progressChanged, this, [this, &slot, board](int percent) {
            m_display.setState(slot.index, board, QStringLiteral("uploading %1 %").arg(percent));
        });
    } else {
        m_display.setState(slot.index, board,
                           operation == Operation::Check ? QStringLiteral("checking")
                                                         : QStringLiteral("starting"));
    }
    connect(step, &DeviceSession::finished, this, [this, &slot] { onStepFinished(slot); });
    step->start();
}

void Station::onStepFinished(Slot &slot)
{
    const DeviceSession &step = *slot.step;
    slot.seconds[slot.stepIndex] = double(step.elapsedMs()) / 1000.0;
    slot.retries += step.retries();
    slot.roundTripsUs += step.roundTripsUs();
    slot.result = step.result();
    slot.detail = step.detail();
    const bool next = slot.result == Result::Succeeded && !m_journalFailed &&
                      slot.stepIndex + 1 < (m_settings.noStart ? 2 : StepCount);
    if (!next) {
        finishBoard(slot);
        return;
    }
    ++slot.stepIndex;
    runStep(slot, slot.stepIndex == 1 ? Operation::Check : Operation::StartApplication);
}

void Station::finishBoard(Slot &slot)
{
    dispose(slot.step);
    const bool passed = slot.result == Result::Succeeded;
    ++(passed ? m_passed : m_failed);
    m_worst = qMax(m_worst, exitCodeFor(slot.result));
    slot.verdict = passed ? QStringLiteral("PASS") : QStringLiteral("FAIL: ") + slot.detail;

    QJsonObject seconds;
    QStringList steps;
    for (int i = 0; i < StepCount; ++i) {
        seconds.insert(QLatin1String(StepNames[i]),
                       slot.seconds[i] < 0 ? QJsonValue() : QJsonValue(slot.seconds[i]));
        if (slot.seconds[i] >= 0)
            steps << QStringLiteral("%1 %2 s")
                         .arg(QLatin1String(StepNames[i]))
                         .arg(slot.seconds[i], 0, 'f', 2);
    }
    const QJsonObject record{
        {"schema", JsonSchema},
        {"event", "board"},
        {"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {"host", QSysInfo::machineHostName()},
        {"slot", slot.device.label()},
        {"board", slot.board},
        {"image", m_settings.imagePath},
        {"image_checksum", m_imageChecksum},
        {"result", resultText(slot.result)},
        {"detail", slot.detail},
        {"seconds", seconds},
        {"retries", slot.retries},
        {"round_trips", roundTrips(slot.roundTripsUs)},
    };
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    QString error;
    if (!m_journalFailed && !m_journal.append(line, &error)) {
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
    m_display.record(line);
    m_display.event(slot.index, slot.board, passed ? "pass" : "fail",
                    slot.verdict + QStringLiteral(" (%1)").arg(steps.join(QStringLiteral(", "))),
                    {{"result", resultText(slot.result)}});
    m_display.setCounts(m_passed, m_failed);

    slot.phase = Slot::Phase::Emptying;
    m_display.setState(slot.index, slot.board, slot.verdict + QStringLiteral(" (remove board)"));
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
        }
    }
    if (busy || arming())
        return;
    m_finished = true;
    m_display.setCounts(m_passed, m_failed);
    emit finished();
}
