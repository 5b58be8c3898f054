#pragma once

#include "core/datagram.h"

#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QUdpSocket>
#include <QVector>

// A device's bootloader in the test process, on 127.0.0.1 and an ephemeral port. It records
// every datagram it receives and answers pings and requests as configured.
class FakeDevice : public QObject
{
    Q_OBJECT
public:
    FakeDevice();

    quint16 port() const { return socket.localPort(); }

    bool answerPings = true;
    bool answerRequests = true;
    QMap<QByteArray, quint8> statusFor; // per command name; default success

    QVector<QByteArray> received;
    QVector<Datagram::ParsedCommand> commands(const QByteArray &name = QByteArray()) const;
    int count(const QByteArray &name) const { return commands(name).size(); }
    Datagram::ParsedCommand last() const;

    // Sends raw bytes to the window's socket (the sender of the last datagram).
    void sendToTool(const QByteArray &bytes);
    void reply(quint8 sequence, quint8 status);

signals:
    void datagramReceived();

private:
    void read();
    QUdpSocket socket;
    QHostAddress toolAddress;
    quint16 toolPort = 0;
};

QByteArray replyBytes(quint8 sequence, quint8 status);
