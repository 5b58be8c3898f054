#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QStringList>
#include <QTimer>

// What the station's operator sees, on stderr: on a terminal one line per slot and a totals
// line, redrawn at most every 100 ms; elsewhere (a log, a pipe) one line per board event.
// With --json, stdout carries the journal records and the slot events as JSON Lines.
class StationDisplay
{
public:
    enum class Mode { None, Lines, Screen };

    struct Totals
    {
        int passed = 0;
        int failed = 0;
        qint64 elapsedMs = 0; // since the station started
        int total() const;
        double yieldPercent() const;
        double boardsPerHour() const;
        QString text() const; // "passed 9, failed 1, total 10, yield 90.0 %, 1200 boards/h"
        QJsonObject json() const;
    };

    // Screen on a terminal unless quiet.
    static Mode modeFor(bool quiet);

    StationDisplay(Mode mode, bool json, const QStringList &slotLabels);

    // What a slot's line says now.
    void setState(int slot, int board, const QString &state);
    // The Ethernet address of the slot's board, shown after its number; empty: none known.
    void setHardwareAddress(int slot, const QString &mac);
    void setCounts(int passed, int failed);
    // One board event: a line where there is no screen, a JSON object with --json.
    void event(int slot, int board, const char *name, const QString &text, QJsonObject fields = {});
    // A message on stderr; on a terminal above the slot lines, which are drawn again below it.
    void note(const QString &text);
    // A journal record, as written to the journal, for --json.
    void record(const QByteArray &line);
    // The last drawing, or the totals line where there is no screen.
    void finish();

private:
    void draw();

    Mode m_mode;
    bool m_json;
    QStringList m_labels;
    QStringList m_states;
    QStringList m_macs;
    Totals m_totals;
    int m_labelWidth = 0;
    int m_width = 80; // the terminal's, read again at each SIGWINCH
    bool m_drawn = false;
    QElapsedTimer m_sinceDrawn;
    QElapsedTimer m_sinceStart;
    QTimer m_redraw;
};
