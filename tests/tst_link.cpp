#include "image/firmwareimage.h"
#include "link/datagram.h"
#include "link/linkstate.h"
#include "link/protocol.h"
#include "support/fakedevice.h"
#include "support/strictmessages.h"
#include "support/windowdriver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <memory>

using namespace WindowDriver;

namespace {

// Address fields | Start Upload, Stop, Check, Start Application | caption | progress | status.
QString controls(const MainWindow &w)
{
    QString s;
    for (const char *name : {"pLineEditIP", "pLineEditPORT"})
        s += lineEdit(w, name)->isEnabled() ? '1' : '0';
    s += '|';
    for (const char *name :
         {"pButStartUpload", "pButStop", "pButCheckApplication", "pButStartApplication"})
        s += button(w, name)->isEnabled() ? '1' : '0';
    return s + '|' + button(w, "pButConnectToggle")->text() + '|' + QString::number(progress(w)) +
           '|' + status(w);
}

const QString Disconnected = QStringLiteral("11|0000|Connect|0|Disconnected");
const QString Connecting = QStringLiteral("00|0000|Disconnect|0|Connecting...");
const QString Connected = QStringLiteral("00|1110|Disconnect|0|Connected");
const QString CheckedOk = QStringLiteral("00|1111|Disconnect|0|Connected. Checked successful!");
const QByteArray FirstPing = QByteArray::fromHex("03010450696E67");

QByteArray endNotice(quint8 sequence)
{
    return Datagram::command(CmdNotice, sequence, "End");
}

// A loopback socket of the test's own: records what reaches it and from which port.
class Peer
{
public:
    Peer()
    {
        socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
        QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [this] {
            while (socket.hasPendingDatagrams()) {
                QByteArray bytes(int(socket.pendingDatagramSize()), 0);
                bytes.resize(
                    int(socket.readDatagram(bytes.data(), bytes.size(), nullptr, &senderPort)));
                received.append(bytes);
            }
        });
    }
    QUdpSocket socket;
    QVector<QByteArray> received;
    quint16 senderPort = 0;
};

enum Setup { Silent, Up, RequestsOnly, Uploading, UploadingThenDisconnected };

} // namespace

Q_DECLARE_METATYPE(Setup)

// The window's link to a fake device on loopback: connect, keep-alive, timeouts, replies.
class LinkTest : public QObject
{
    Q_OBJECT
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<FakeDevice> device;

    void click(const char *name) { QTest::mouseClick(button(*window, name), Qt::LeftButton); }
    int linkState() const { return MainWindowProbe(*window).linkState(); }
    int notPings() const { return device->received.size() - device->count("Ping"); }

    // From here on only the test's own keep-alives keep the link.
    bool connectQuietly()
    {
        device->answerPings = false;
        if (!pointAtLoopback(*window, device->port()))
            return false;
        click("pButConnectToggle");
        if (!QTest::qWaitFor([&] { return device->count("Ping") > 0; }))
            return false;
        device->reply(1, KeepAliveCode);
        return QTest::qWaitFor([&] { return linkState() == LinkUp; });
    }

    // Starts a check the device leaves unanswered; returns its sequence (0 on failure).
    quint8 startManualCheck()
    {
        device->answerRequests = false;
        click("pButCheckApplication");
        if (!QTest::qWaitFor([&] { return device->count("Check") == 1; }))
            return 0;
        return device->commands("Check").last().sequence;
    }

private slots:
    void initTestCase() { StrictMessages::install(); }
    void init()
    {
        window = std::make_unique<MainWindow>();
        device = std::make_unique<FakeDevice>();
    }
    void cleanup()
    {
        window.reset();
        device.reset();
        QCOMPARE(StrictMessages::take(), QStringList());
    }

    void connectPingsAndWaitsForFirstKeepAlive()
    {
        device->answerPings = false;
        QVERIFY(pointAtLoopback(*window, device->port()));
        click("pButConnectToggle");
        QCOMPARE(controls(*window), Connecting);
        QTRY_VERIFY(!device->received.isEmpty());
        QCOMPARE(device->received.first(), FirstPing);
        QTest::qWait(100);
        QCOMPARE(controls(*window), Connecting);
        device->reply(1, KeepAliveCode);
        QTRY_COMPARE(controls(*window), Connected);
        QCOMPARE(linkState(), int(LinkUp));
    }

    void pingTickRepeatsSequenceAndStaysSilentWhileDown()
    {
        device->answerPings = false;
        QVERIFY(pointAtLoopback(*window, device->port()));
        click("pButConnectToggle");
        QTRY_COMPARE(device->count("Ping"), 1);
        invoke(*window, "slot_ping_timer_timeout");
        QTRY_COMPARE(device->count("Ping"), 2);
        QCOMPARE(device->received.last(), FirstPing);

        device->reply(1, KeepAliveCode);
        QTRY_COMPARE(linkState(), int(LinkUp));
        click("pButCheckApplication"); // advances to 2
        QTRY_COMPARE(controls(*window), CheckedOk);
        const int pings = device->count("Ping");
        invoke(*window, "slot_ping_timer_timeout");
        QTRY_COMPARE(device->count("Ping"), pings + 1);
        QCOMPARE(device->received.last(), Datagram::command(CmdRequest, 2, "Ping"));

        click("pButConnectToggle");
        const int sent = device->received.size();
        invoke(*window, "slot_ping_timer_timeout");
        QTest::qWait(200);
        QCOMPARE(device->received.size(), sent);
    }

    void pingsGoOutAboutOncePerSecond()
    {
        QVERIFY(connectTo(*window, *device));
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(device->count("Ping") >= 3, 3500);
        QVERIFY2(clock.elapsed() >= 1500, "two ticks came too fast");
        for (const auto &ping : device->commands("Ping"))
            QCOMPARE(int(ping.sequence), 1);
        QCOMPARE(linkState(), int(LinkUp));
    }

    void keepAliveWhileUpChangesNothing()
    {
        QVERIFY(connectQuietly());
        click("pButCheckApplication");
        QTRY_COMPARE(controls(*window), CheckedOk);
        const int sent = notPings();
        device->reply(0, KeepAliveCode);
        device->reply(0x99, KeepAliveCode);
        QTest::qWait(150);
        QCOMPARE(controls(*window), CheckedOk);
        QCOMPARE(notPings(), sent);
    }

    void keepAliveWithAnySequenceBringsLinkUp_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("sequence echoed") << replyBytes(1, KeepAliveCode);
        QTest::newRow("sequence 0") << replyBytes(0, KeepAliveCode);
        QTest::newRow("sequence 0x80") << replyBytes(0x80, KeepAliveCode);
        QTest::newRow("sequence 255, trailing bytes") << replyBytes(255, KeepAliveCode) + "junk";
    }
    void keepAliveWithAnySequenceBringsLinkUp()
    {
        QFETCH(QByteArray, reply);
        device->answerPings = false;
        QVERIFY(pointAtLoopback(*window, device->port()));
        click("pButConnectToggle");
        QTRY_COMPARE(device->count("Ping"), 1);
        device->sendToTool(reply);
        QTRY_COMPARE(controls(*window), Connected);
        QCOMPARE(notPings(), 0);
    }

    void linkTimeoutDisconnects_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::newRow("device never answers") << Silent;
        QTest::newRow("link up") << Up;
        QTest::newRow("success replies but no keep-alive") << RequestsOnly;
        QTest::newRow("during an upload") << Uploading;
        QTest::newRow("late expiry after Disconnect during an upload") << UploadingThenDisconnected;
    }
    void linkTimeoutDisconnects()
    {
        QFETCH(Setup, setup);
        QTemporaryDir dir;
        if (setup == Silent) {
            device->answerPings = false;
            QVERIFY(pointAtLoopback(*window, device->port()));
            click("pButConnectToggle");
            QTRY_COMPARE(device->count("Ping"), 1);
        } else {
            QVERIFY(connectQuietly());
        }
        if (setup == RequestsOnly) {
            click("pButCheckApplication");
            QTRY_COMPARE(controls(*window), CheckedOk);
            click("pButCheckApplication");
            QTRY_COMPARE(device->count("Check"), 2);
        }
        if (setup == Uploading || setup == UploadingThenDisconnected) {
            QFile file(dir.filePath("fw.bin"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(QByteArray(FirmwareImageSize, 'Z')), qint64(FirmwareImageSize));
            file.close();
            // Stop answering after the 20th block, so the upload hangs with progress above 0.
            connect(device.get(), &FakeDevice::datagramReceived, device.get(), [this] {
                if (device->count("Write") == 20)
                    device->answerRequests = false;
            });
            lineEdit(*window, "pLineFileName")->setText(file.fileName());
            click("pButStartUpload");
            QTRY_COMPARE(device->count("Write"), 21);
            QTRY_COMPARE(progress(*window), 1);
        }
        if (setup == UploadingThenDisconnected) {
            click("pButConnectToggle");
            QCOMPARE(controls(*window), QStringLiteral("11|0000|Connect|1|Disconnected"));
        }
        const int sent = notPings();
        invoke(*window, "slot_timer_timeout");
        QCOMPARE(controls(*window), Disconnected);
        QCOMPARE(linkState(), int(LinkDown));
        QCOMPARE(MainWindowProbe(*window).uploadStage(), int(StageIdle));
        QVERIFY(!MainWindowProbe(*window).startAppAllowed());
        QTest::qWait(100);
        QCOMPARE(notPings(), sent);
    }

    void disconnectThenConnectStartsAFreshAttempt()
    {
        QVERIFY(connectQuietly());
        const int sent = device->received.size();
        click("pButConnectToggle");
        QCOMPARE(controls(*window), Disconnected);
        QTest::qWait(150);
        QCOMPARE(device->received.size(), sent); // the device is not told
        // The old 12 s window keeps running after Disconnect; let more of it pass than a coarse
        // timer's 5 % slack, so a restarted window is told apart from the remainder.
        QTRY_VERIFY(MainWindowProbe(*window).linkTimerRemainingMs() < 11000);

        click("pButConnectToggle");
        QCOMPARE(controls(*window), Connecting);
        QVERIFY(MainWindowProbe(*window).linkTimerRemainingMs() > 11400);
        QTRY_COMPARE(device->received.size(), sent + 1);
        QCOMPARE(device->received.last(), Datagram::command(CmdRequest, 2, "Ping"));
        device->reply(2, KeepAliveCode);
        QTRY_COMPARE(controls(*window), Connected);
    }

    void strayDatagramsWhileDownGetEndAtTheEndpoint()
    {
        Peer stranger;
        QVERIFY(pointAtLoopback(*window, stranger.socket.localPort()));
        click("pButConnectToggle");
        QTRY_VERIFY(stranger.senderPort != 0); // the window's own port, learnt from its Ping
        const quint16 windowPort = stranger.senderPort;
        click("pButConnectToggle");
        QVERIFY(pointAtLoopback(*window, device->port()));
        const int strangerGot = stranger.received.size();

        // Back to back, including an empty one and a keep-alive that must not revive the link.
        for (const QByteArray &bytes :
             {QByteArray(), QByteArray("x"), replyBytes(1, KeepAliveCode)})
            stranger.socket.writeDatagram(bytes, QHostAddress(QHostAddress::LocalHost), windowPort);
        QTRY_COMPARE(device->received.size(), 3);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(device->received.at(i), endNotice(quint8(2 + i)));
        QTest::qWait(100);
        QCOMPARE(device->received.size(), 3);
        QCOMPARE(stranger.received.size(), strangerGot);
        QCOMPARE(controls(*window), Disconnected);
    }

    void backToBackRepliesAreBothHandled()
    {
        QVERIFY(connectQuietly());
        const quint8 check = startManualCheck();
        QVERIFY(check != 0);
        device->sendToTool(QByteArray(1, '\0')); // mismatch: drops to connecting
        device->reply(0, KeepAliveCode);         // then straight back up
        QTRY_COMPARE(device->count("End"), 1);
        QCOMPARE(device->commands("End").last().sequence, quint8(check + 1));
        QTRY_COMPARE(controls(*window), Connected);
        QCOMPARE(linkState(), int(LinkUp));
    }

    void sequenceSkipsZeroAfter255()
    {
        QVERIFY(connectTo(*window, *device)); // Ping 1
        click("pButConnectToggle");
        // Each stray datagram while down costs one End notice: 2..254. Batched to keep the
        // socket buffers small.
        while (device->count("End") < 253) {
            const int target = qMin(253, device->count("End") + 32);
            for (int i = device->count("End"); i < target; ++i)
                device->sendToTool("x");
            QTRY_COMPARE(device->count("End"), target);
        }
        const auto ends = device->commands("End");
        for (int i = 0; i < ends.size(); ++i)
            QCOMPARE(int(ends.at(i).sequence), 2 + i);

        click("pButConnectToggle");
        QTRY_COMPARE(linkState(), int(LinkUp));
        QCOMPARE(device->commands("Ping").last().sequence, quint8(255));
        click("pButCheckApplication");
        QTRY_COMPARE(controls(*window), CheckedOk);
        click("pButCheckApplication");
        QTRY_COMPARE(device->count("Check"), 2);
        QCOMPARE(device->commands("Check").at(0).sequence, quint8(1));
        QCOMPARE(device->commands("Check").at(1).sequence, quint8(2));
    }

    void replyDuringCheck_data()
    {
        QTest::addColumn<QByteArray>("trailing");
        QTest::addColumn<int>("length"); // -1: the whole reply
        QTest::addColumn<int>("sequenceOffset");
        QTest::addColumn<int>("replyStatus");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("endNotice");
        const QString checking = QStringLiteral("00|0100|Disconnect|0|Connected. Checking...");
        const QString mismatch = QStringLiteral("00|0000|Disconnect|0|Connected");
        const QString wrong =
            QStringLiteral("00|0000|Disconnect|0|Connected. Application is wrong!");
        const QByteArray none;
        QTest::newRow("empty: no event") << none << 0 << 0 << 0xAC << checking << false;
        QTest::newRow("one byte: mismatch") << none << 1 << 0 << 0xAC << mismatch << true;
        QTest::newRow("two bytes echoing: failure") << none << 2 << 0 << 0xAC << wrong << false;
        QTest::newRow("three bytes echoing: failure") << none << 3 << 0 << 0xAC << wrong << false;
        QTest::newRow("failure status echoing") << none << -1 << 0 << 0x01 << wrong << false;
        QTest::newRow("0xAC, next sequence: mismatch")
            << none << -1 << 1 << 0xAC << mismatch << true;
        QTest::newRow("0xAC, previous sequence: mismatch")
            << none << -1 << -1 << 0xAC << mismatch << true;
        QTest::newRow("0xAC echoing: success") << none << -1 << 0 << 0xAC << CheckedOk << false;
        QTest::newRow("0xAC echoing, trailing bytes: success")
            << QByteArray("\x01\x02\x03") << -1 << 0 << 0xAC << CheckedOk << false;
    }
    void replyDuringCheck()
    {
        QFETCH(QByteArray, trailing);
        QFETCH(int, length);
        QFETCH(int, sequenceOffset);
        QFETCH(int, replyStatus);
        QFETCH(QString, expected);
        QFETCH(bool, endNotice);
        QVERIFY(connectQuietly());
        const quint8 check = startManualCheck();
        QVERIFY(check != 0);
        QByteArray reply =
            replyBytes(quint8(check + sequenceOffset), quint8(replyStatus)) + trailing;
        if (length >= 0)
            reply.truncate(length);
        device->sendToTool(reply);
        QTRY_COMPARE(controls(*window), expected);
        QTest::qWait(100);
        QCOMPARE(controls(*window), expected);
        QCOMPARE(device->count("End"), endNotice ? 1 : 0);
        if (endNotice) {
            QCOMPARE(device->commands("End").last().type, quint8(CmdNotice));
            QCOMPARE(device->commands("End").last().sequence, quint8(check + 1));
            QCOMPARE(linkState(), int(LinkConnecting));
        }
    }
};

QTEST_MAIN(LinkTest)
#include "tst_link.moc"
