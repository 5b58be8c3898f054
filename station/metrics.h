#pragma once

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

// The station's numbers in the Prometheus text format, for node_exporter's textfile collector:
// boards by slot and result, board seconds by step, each slot's state, the last board's time,
// the station's start and its image. The file is replaced whole (a temporary file in the same
// folder, then rename()), so the collector never reads half of it.
class StationMetrics
{
public:
    enum class SlotState { Waiting, Flashing, Remove, Stopped };

    struct Identity
    {
        QString station;
        QString run;
        QString imageSha256;
        QString image; // its path
    };

    StationMetrics(const Identity &identity, const QStringList &slotLabels);

    void setState(int slot, SlotState state);
    // A finished board: its result word and its record's "seconds" (upload, check, start;
    // null for a step not taken).
    void addBoard(int slot, const QString &result, const QJsonObject &seconds);
    QByteArray text() const;
    // Replaces `path` with text(); false with the reason.
    bool write(const QString &path, QString *error) const;

private:
    struct Histogram
    {
        QVector<qint64> buckets; // cumulative counts, one per bound
        double sum = 0;
        qint64 count = 0;
    };

    QByteArray gauges() const; // slot states, times, the image

    Identity m_identity;
    QStringList m_slots;
    QVector<SlotState> m_states;
    QVector<QHash<QString, qint64>> m_boards; // by slot: result -> boards
    QVector<Histogram> m_steps;               // upload, check, start
    QDateTime m_started;
    QDateTime m_lastBoard;
};
