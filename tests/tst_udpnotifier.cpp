#include <QTest>
#include <QUdpSocket>

// The window reads one datagram per readyRead() and relies on Qt signalling again for each
// datagram still queued, as Qt 5.15 and 6.4 do. Were a Qt release to stop, replies would sit
// unread and the window would stall: this is the alarm.
class UdpNotifierTest : public QObject
{
    Q_OBJECT

private slots:
    void oneDatagramPerSignal_data()
    {
        QTest::addColumn<int>("burst");
        QTest::newRow("2 queued") << 2;
        QTest::newRow("10 queued") << 10;
        QTest::newRow("100 queued") << 100;
    }

    void oneDatagramPerSignal()
    {
        QFETCH(int, burst);
        QUdpSocket receiver;
        QVERIFY(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
        int read = 0;
        connect(&receiver, &QUdpSocket::readyRead, this, [&] {
            char byte = 0;
            if (receiver.readDatagram(&byte, 1) >= 0)
                ++read;
        });
        QUdpSocket sender;
        for (int i = 0; i < burst; ++i) // all queued before the event loop sees the first
            sender.writeDatagram("x", 1, QHostAddress(QHostAddress::LocalHost),
                                 receiver.localPort());
        QTRY_COMPARE(read, burst);
    }
};

QTEST_GUILESS_MAIN(UdpNotifierTest)
#include "tst_udpnotifier.moc"
