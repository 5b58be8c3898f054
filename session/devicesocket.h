#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>

class QSocketNotifier;

// A UDP socket connected to one device. Connected, the kernel delivers only that device's
// datagrams and reports an ICMP "port unreachable" as ECONNREFUSED, so a device with nothing
// listening is known within a round trip instead of after the link timeout. A plain
// descriptor, not QUdpSocket: Qt's socket engine mishandles a refused send on a connected
// socket.
class DeviceSocket : public QObject
{
    Q_OBJECT

public:
    enum class Receive { Datagram, Nothing, Refused, Failed };

    explicit DeviceSocket(QObject *parent = nullptr);
    ~DeviceSocket() override;

    // `interface`: the only network interface it may use; empty: as routed.
    bool open(const QHostAddress &address, quint16 port, const QString &interface, QString *error);
    void close();

    // False with the reason when the datagram did not leave whole; `refused` tells ICMP
    // "port unreachable" from an earlier send.
    bool send(const char *data, int length, bool *refused, QString *error);
    Receive receive(char *buffer, int size, qint64 *length, QString *error);

signals:
    void readyRead();

private:
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
};
