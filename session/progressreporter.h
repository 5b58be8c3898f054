#pragma once

#include "core/datagram.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

// Everything the tool says while devices run. In text, progress and command lines go to
// stderr, so that stdout carries only the one summary line per device that a script reads.
// With --json, stdout carries JSON Lines instead: one object per event and one per device.
class ProgressReporter
{
public:
    enum class Progress {
        None,  // --quiet, --json, or an operation without progress
        Lines, // one line per 10 % per device: logs and pipes
        Bars,  // one redrawn bar per device: a terminal
    };

    struct Summary
    {
        QString operation;
        QStringList steps;    // begun, in order: "upload", "check", "start"
        bool chained = false; // more than one step was asked for
        QString result;
        int exitStatus = 0;
        qint64 elapsedMs = 0;
        qint64 bytesSent = 0;
        int retries = 0;
        int lateReplies = 0;
        QVector<qint64> roundTripsUs;
        QString detail;
        QString imageSha256; // none: left out
    };

    // Bars only on a terminal, and not mixed with --verbose's command lines.
    static Progress progressFor(bool quiet, bool verbose);
    // "round_trips" as the JSON result and the station's journal give it: count, min_us,
    // median_us, max_us.
    static QJsonObject roundTrips(QVector<qint64> us);
    // "interface" as the JSON result and the journal give it: the name, or null for none.
    static QJsonValue interfaceJson(const QString &interface);

    // `quiet` also hides the line that says a device has not answered yet.
    ProgressReporter(Progress progress, bool verbose, bool json, bool quiet = false);

    // `interface`: the one the device's socket is tied to, if any.
    int addDevice(const QString &label, const QString &operation,
                  const QString &interface = QString());
    void begin();
    void progress(int device, int percent);
    void commandAnswered(int device, const char *name, quint8 sequence, Datagram::ReplyKind answer,
                         quint8 status, qint64 roundTripUs);
    void noticeSent(int device, const char *name, quint8 sequence);
    void requestRepeated(int device, const char *name, quint8 sequence, int attempt);
    // Nothing came from the device for a keep-alive interval: said once, in its bar on a
    // terminal (until an answer comes), otherwise as a line of its own.
    void waiting(int device, int givesUpAfterMs);
    void verdict(int device, bool success, const QString &detail);
    // A bar shows how its device ended; lines leave that to the summary.
    void deviceFinished(int device, const QString &result);
    void summary(int device, const Summary &summary);

private:
    struct Device
    {
        QString label;
        QString operation;
        QString interface;
        int percent = 0;
        int tenthsShown = 0;
        QString result;
        QString waiting; // shown in the bar until the device answers
    };

    void drawBars(bool now);
    void event(int device, const char *name, QJsonObject fields);
    QString paddedLabel(int device) const;

    Progress m_progress;
    bool m_verbose;
    bool m_json;
    bool m_quiet;
    QVector<Device> m_devices;
    int m_labelWidth = 0;
    bool m_barsDrawn = false;
    QElapsedTimer m_sinceDrawn;
};
