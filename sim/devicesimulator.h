#pragma once

#include "core/datagram.h"
#include "core/logging.h"
#include "sim/replyqueue.h"
#include "sim/simulatedflash.h"
#include "sim/simulatorsettings.h"
#include "sim/simwire.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QUdpSocket>
#include <cstdio>
#include <optional>

// Plays a device's bootloader on one UDP socket: answers each command to its sender, holds
// the uploaded image, and injects the faults the settings ask for.
class DeviceSimulator : public QObject
{
    Q_OBJECT

public:
    explicit DeviceSimulator(SimulatorSettings settings, QObject *parent = nullptr);

    // Binds the socket; false with the reason when the address or port cannot be had.
    bool listen(QString *error);

    QHostAddress address() const { return m_socket.localAddress(); }
    quint16 port() const { return m_socket.localPort(); }

    // One line of totals, for the end of a run.
    QString summary() const;

private:
    void readOneDatagram();
    // What a command gets: a status to answer with (none: no answer), when, and a log note.
    struct Answer
    {
        std::optional<quint8> status;
        qint64 dueNs = 0;
        const char *note = "";
    };

    void handle(const char *data, qint64 length, const QHostAddress &sender, quint16 senderPort);
    // The parsed command, or nullopt for a datagram refused or not heard (said in the log).
    std::optional<Datagram::ParsedCommand> accept(const char *data, qint64 length);
    Answer answer(SimCommand command, const Datagram::ParsedCommand &parsed, qint64 receivedNs);
    std::optional<quint8> carryOut(SimCommand command, const Datagram::ParsedCommand &parsed);
    quint8 endUpload();
    void swapBoard();
    void releaseReply(const PendingReply &reply);
    void transmit(const QByteArray &bytes, const PendingReply &reply, const char *note);
    void rejectDatagram(qint64 length, const char *reason);
    // The line is only formatted when bootloader.link is on: most runs are benchmarks and tests.
    template <typename MakeLine> void log(MakeLine makeLine) const
    {
        qCDebug(lcLink, "%s", qPrintable(makeLine()));
    }
    void warn(const QString &line) const;
    QString roundTrip(const PendingReply &reply) const;

    struct AnsweredRequest
    {
        quint8 sequence = 0;
        QByteArray name;
        quint8 status = 0;
        qint64 doneNs = 0; // when its answer falls due: until then it is being carried out
    };

    SimulatorSettings m_settings;
    std::optional<AnsweredRequest> m_lastAnswered;
    QUdpSocket m_socket;
    QElapsedTimer m_clock;
    SimulatedFlash m_flash;
    ReplyQueue m_replies;
    QByteArray m_receiveBuffer;
    QTimer m_boardAway; // running while the board is out of its bootloader (--swap-ms)
    int m_board = 1;

    int m_datagrams = 0;
    int m_badDatagrams = 0;
    int m_repliesReleased = 0; // the count --drop-every and friends work on
    int m_answersReleased = 0; // the replies to requests other than Ping (--drop-answer)
    int m_repliesSent = 0;
    int m_repliesDropped = 0;
};
