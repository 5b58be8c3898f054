#pragma once

#include "session/devicesession.h"
#include "session/devicetarget.h"
#include "session/neighbourtable.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QTimer>
#include <QVector>
#include <memory>
#include <vector>

#include "station/metrics.h"

class Journal;
class StationDisplay;

struct StationSettings
{
    QString imagePath; // as the journal names it
    QByteArray image;
    QVector<DeviceTarget> devices; // one slot each
    DeviceSession::Settings session;
    int goneAfterMs = 3000;
    int pingIntervalMs = PingIntervalMs; // how often a waiting or emptying slot asks
    int count = 0;                       // boards to finish; 0: until a signal
    bool noStart = false;
    QString expectSha256;           // the pinned image's; empty: none
    QString name;                   // the station's, in its records
    QString run;                    // new at each start, in its records
    QString metricsPath;            // empty: none
    QHash<QString, int> lastBoards; // by slot: the journal's last board number there
};

// A production fixture: each device address is a slot that waits for a board (a keep-alive
// answer), uploads, checks and starts it in one session, journals it, and arms again only
// after the address has been silent for a while, so a board left in place is never flashed
// twice. Runs in the caller's event loop until finished().
class Station : public QObject
{
    Q_OBJECT

public:
    // The journal is open; the image was checked.
    Station(const StationSettings &settings, Journal &journal, StationDisplay &display,
            QObject *parent = nullptr);
    ~Station() override;

    void start();
    // SIGINT or SIGTERM. The first stops arming: boards in progress finish and are journalled.
    // The second interrupts them ("End" notice) and journals them as interrupted. Once no board
    // is in progress, the report no longer waits for a paused reader of stdout.
    void signal(int signalNumber);

    // SIGHUP: the journal's path is opened again (logrotate's create mode).
    void reopenJournal();

    // 0 every board passed, 1 one failed, 3 one's link failed, 4 every board passed but the
    // journal could not be written, 128 + the signal that interrupted boards.
    int exitStatus() const;

signals:
    void finished();

private:
    struct Slot;

    bool arming() const;
    void arm(Slot &slot);
    void watch(Slot &slot);
    void onKeepAlive(Slot &slot);
    // Says once that swaps may go unseen for a while, and stops refreshing.
    void sayNoRefresh();
    // Makes the kernel resolve the slot's address afresh, where the station may.
    void refresh(Slot &slot);
    // A board with another Ethernet address answers while the slot empties: the slot arms.
    bool swapped(Slot &slot);
    void onTick(Slot &slot);
    void flash(Slot &slot);
    QJsonObject stepSeconds(const Slot &slot, QStringList *steps) const;
    QJsonObject boardRecord(const Slot &slot, const QJsonObject &seconds) const;
    void sayJournalNotices();
    // Reserves the journal's room for the board's record, or stops the station unflashed.
    bool roomForRecord(const Slot &slot);
    // Appends a board's record; a journal that fails stops the station.
    void keepRecord(const QByteArray &line);
    void finishBoard(Slot &slot);
    void settle();
    // A slot's new state, or a finished board, in the metrics file.
    void keepMetrics(int slot, StationMetrics::SlotState state);

    StationSettings m_settings;
    Journal &m_journal;
    StationDisplay &m_display;
    NeighbourTable m_neighbours;
    bool m_refresh; // the neighbour table may be changed
    std::vector<std::unique_ptr<Slot>> m_slots;
    QString m_imageChecksum;
    QString m_imageSha256;
    int m_begun = 0;
    int m_passed = 0;
    int m_failed = 0;
    int m_worst = 0;
    bool m_stopping = false;
    bool m_signalled = false;
    int m_interruptedBy = 0;
    bool m_journalFailed = false;
    bool m_finished = false;
    std::unique_ptr<StationMetrics> m_metrics;
    QTimer m_metricsBeat; // a file that stops changing means a station that stopped
    bool m_metricsFailed = false;
};
