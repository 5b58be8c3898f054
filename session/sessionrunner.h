#pragma once

#include "session/devicesession.h"
#include "session/devicetarget.h"
#include "session/progressreporter.h"

#include <QObject>
#include <QVector>
#include <memory>
#include <vector>

struct RunOptions
{
    DeviceSession::Settings session;
    bool quiet = false;
    bool verbose = false;
    bool json = false;
    QVector<DeviceSession::Operation> nextSteps; // after the operation, each after a success
    QString imageSha256; // the image uploaded, or the one a pinned check names
};

// A finished session as the report shows it.
ProgressReporter::Summary summaryOf(const DeviceSession &session);

// One session per device in this one event loop, each reported as it goes. finished() once
// every session has ended.
class SessionRunner : public QObject
{
    Q_OBJECT

public:
    SessionRunner(DeviceSession::Operation operation, const QByteArray &image,
                  const QVector<DeviceTarget> &devices, const RunOptions &options,
                  QObject *parent = nullptr);

    void start();
    // SIGINT or SIGTERM: every device still busy is told that its upload is over.
    void interrupt(int signalNumber);
    bool isFinished() const { return m_running == 0; }
    const std::vector<std::unique_ptr<DeviceSession>> &sessions() const { return m_sessions; }

    // Writes each device's summary line or JSON result.
    void writeSummaries();
    // The worst device's status (3 over 1 over 0), or 128 + the signal after an interruption.
    int exitStatus() const;

signals:
    void finished();

private:
    ProgressReporter m_reporter;
    std::vector<std::unique_ptr<DeviceSession>> m_sessions;
    int m_running = 0;
    int m_signal = 0;
    QString m_imageSha256;
};

// Runs the sessions to their end, SIGINT and SIGTERM interrupting them, and reports each.
// Returns the exit status: the worst device's, 130 or 143 after SIGINT or SIGTERM, 4 when every
// device succeeded but the report could not be written.
int runSessions(DeviceSession::Operation operation, const QByteArray &image,
                const QVector<DeviceTarget> &devices, const RunOptions &options);
