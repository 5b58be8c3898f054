#pragma once

#include "core/datagram.h"

#include <QString>
#include <QVector>

// Everything the tool prints while devices run. Progress and command lines go to stderr, so
// that stdout carries only the one summary line per device that a build script reads.
class ProgressReporter
{
public:
    enum class Progress {
        None,  // --quiet, or an operation without progress
        Lines, // one line per 10 % per device: logs and pipes
        Bars,  // one redrawn bar per device: a terminal
    };

    // Bars only on a terminal, and not mixed with --verbose's command lines.
    static Progress progressFor(bool quiet, bool verbose);

    ProgressReporter(Progress progress, bool verbose);

    int addDevice(const QString &label);
    void begin();
    void progress(int device, int percent);
    void commandAnswered(int device, const char *name, quint8 sequence, Datagram::ReplyKind answer,
                         quint8 status, qint64 roundTripUs);
    void noticeSent(int device, const char *name, quint8 sequence);
    // A bar shows how its device ended; lines leave that to the summary.
    void deviceFinished(int device, const QString &result);
    void summary(int device, const QString &result, qint64 elapsedMs, const QString &detail);

private:
    struct Device
    {
        QString label;
        int percent = 0;
        int tenthsShown = 0;
        QString result;
    };

    void drawBars();
    QString paddedLabel(int device) const;

    Progress m_progress;
    bool m_verbose;
    QVector<Device> m_devices;
    int m_labelWidth = 0;
    bool m_barsDrawn = false;
};
