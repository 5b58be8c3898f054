#include "core/datagram.h"
#include "mainwindow/windowstate.h"
#include "support/fakedevice.h"
#include "support/strictmessages.h"
#include "support/windowdriver.h"

#include <QElapsedTimer>
#include <QTest>
#include <memory>

using namespace WindowDriver;

namespace {
// Link state | address fields | Start Upload, Stop, Check, Start App | caption | progress | status.
QString controls(const MainWindow &w)
{
    QString s = QString::number(MainWindowProbe(w).linkState());
    for (const char *name : {"|", "pLineEditIP", "pLineEditPORT", "|", "pButStartUpload",
                             "pButStop", "pButCheckApplication", "pButStartApplication"})
        s += *name == '|' ? '|' : child<QWidget>(w, name)->isEnabled() ? '1' : '0';
    return s + '|' + button(w, "pButConnectToggle")->text() + '|' + QString::number(progress(w)) +
           '|' + status(w);
}
const QString Disconnected = QStringLiteral("0|11|0000|Connect|0|Disconnected");
const QString Connecting = QStringLiteral("1|00|0000|Disconnect|0|Connecting...");
const QString Connected = QStringLiteral("2|00|1110|Disconnect|0|Connected");
const QString CheckedOk = QStringLiteral("2|00|1111|Disconnect|0|Connected. Checked successful!");
const QString Mismatch = QStringLiteral("1|00|0000|Disconnect|0|Connected");
const QString Wrong = QStringLiteral("1|00|0000|Disconnect|0|Connected. Application is wrong!");
const QString Checking = QStringLiteral("2|00|0100|Disconnect|0|Connected. Checking...");
} // namespace

// The window's link to a fake device on loopback: connect, keep-alive, timeouts, replies.
class LinkTest : public QObject
{
    Q_OBJECT
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<FakeDevice> device;

    MainWindowProbe probe() const { return MainWindowProbe(*window); }
    void click(const char *name) { QTest::mouseClick(button(*window, name), Qt::LeftButton); }
    int notPings() const { return device->received.size() - device->count("Ping"); }

    // The device leaves pings unanswered: only the test's own keep-alives count.
    bool connectQuietly(bool keepAlive = true)
    {
        device->answerPings = false;
        if (!pointAtLoopback(*window, device->port()))
            return false;
        click("pButConnectToggle");
        if (!QTest::qWaitFor([&] { return device->count("Ping") > 0; }))
            return false;
        if (keepAlive)
            device->reply(1, KeepAliveCode);
        return !keepAlive || QTest::qWaitFor([&] { return probe().linkState() == LinkUp; });
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

    void firstKeepAliveWithAnySequenceConnects_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("sequence 0") << replyBytes(0, KeepAliveCode);
        QTest::newRow("sequence 255, trailing bytes") << replyBytes(255, KeepAliveCode) + "junk";
    }
    void firstKeepAliveWithAnySequenceConnects()
    {
        QFETCH(QByteArray, reply);
        QVERIFY(connectQuietly(false));
        QCOMPARE(device->received.first(), QByteArray::fromHex("03010450696E67"));
        QCOMPARE(controls(*window), Connecting);
        QTest::qWait(100);
        QCOMPARE(controls(*window), Connecting);
        device->sendToTool(reply);
        QTRY_COMPARE(controls(*window), Connected);
        QCOMPARE(notPings(), 0);
    }

    void pingTicksAndKeepAlivesWhileUp()
    {
        QVERIFY(connectQuietly(false));
        invoke(*window, "slot_ping_timer_timeout");
        QTRY_COMPARE(device->count("Ping"), 2);
        QCOMPARE(device->received.last(), device->received.first()); // not advancing

        device->reply(1, KeepAliveCode);
        QTRY_COMPARE(controls(*window), Connected);
        click("pButCheckApplication"); // advances to 2
        QTRY_COMPARE(controls(*window), CheckedOk);
        device->reply(0, KeepAliveCode); // keep-alives while up change nothing
        device->reply(0x99, KeepAliveCode);
        QTest::qWait(150);
        QCOMPARE(controls(*window), CheckedOk);
        QCOMPARE(notPings(), 1);
        invoke(*window, "slot_ping_timer_timeout");
        QTRY_COMPARE(device->count("Ping"), 3);
        QCOMPARE(device->received.last(), Datagram::command(CmdRequest, 2, "Ping"));

        invoke(*window, "slot_timer_timeout"); // no keep-alive for 12 s
        QCOMPARE(controls(*window), Disconnected);
        QVERIFY(!probe().startAppAllowed());
        invoke(*window, "slot_ping_timer_timeout"); // no pings while down
        QTest::qWait(200);
        QCOMPARE(device->received.size(), 4);
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
    }

    void successRepliesDoNotKeepTheLinkAndConnectRestartsIt()
    {
        QVERIFY(connectQuietly());
        // Let more of the 12 s window pass than a coarse timer's 5 % slack, so a restart shows;
        // wait for the tick's Ping too, so none is in flight below.
        QTRY_VERIFY(device->count("Ping") == 2 && probe().linkTimerRemainingMs() < 11000);
        click("pButCheckApplication");
        QTRY_COMPARE(controls(*window), CheckedOk);
        QVERIFY(probe().linkTimerRemainingMs() < 11000); // 0xAC is no keep-alive

        const int sent = device->received.size();
        click("pButConnectToggle");
        QCOMPARE(controls(*window), Disconnected);
        invoke(*window, "slot_ping_timer_timeout");
        QTest::qWait(150);
        QCOMPARE(device->received.size(), sent); // the device is not told, nor pinged
        click("pButConnectToggle");
        QCOMPARE(controls(*window), Connecting);
        QVERIFY(probe().linkTimerRemainingMs() > 11400);
        QTRY_COMPARE(device->received.size(), sent + 1);
        QCOMPARE(device->received.last(), Datagram::command(CmdRequest, 3, "Ping"));
        device->reply(3, KeepAliveCode);
        QTRY_COMPARE(controls(*window), Connected);
    }

    void strayDatagramsWhileDownGetEndAtTheEndpointAndSequenceSkipsZero()
    {
        FakeDevice stranger;
        stranger.answerPings = false;
        QVERIFY(pointAtLoopback(*window, stranger.port()));
        click("pButConnectToggle");
        QTRY_COMPARE(stranger.count("Ping"), 1); // Ping 1 tells it the window's port
        invoke(*window, "slot_timer_timeout");   // it never answers
        QVERIFY(pointAtLoopback(*window, device->port()));
        // Back to back, an empty one and a keep-alive that must not revive the link among them.
        stranger.sendToTool(QByteArray());
        stranger.sendToTool(replyBytes(1, KeepAliveCode));
        QTRY_COMPARE(device->received.size(), 2);
        // One End notice each, up to 254; batched to keep the socket buffers small.
        for (int sent = 2; sent < 253; sent = device->received.size()) {
            for (int i = sent; i < qMin(253, sent + 32); ++i)
                stranger.sendToTool("x");
            QTRY_COMPARE(device->received.size(), qMin(253, sent + 32));
        }
        for (int i = 0; i < 253; ++i)
            QCOMPARE(device->received.at(i), Datagram::command(CmdNotice, quint8(2 + i), "End"));
        QTest::qWait(100);
        QCOMPARE(device->received.size(), 253);
        QCOMPARE(stranger.received.size(), 1);
        QCOMPARE(controls(*window), Disconnected);

        click("pButConnectToggle");
        QTRY_COMPARE(controls(*window), Connected);
        QCOMPARE(device->received.at(253), Datagram::command(CmdRequest, 255, "Ping"));
        click("pButCheckApplication");
        QTRY_COMPARE(device->count("Check"), 1);
        QCOMPARE(device->commands("Check").last().sequence, quint8(1)); // never 0
    }

    void replyDuringCheck_data()
    {
        QTest::addColumn<QByteArrayList>("replies"); // back to back
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("end");
        const QByteArray ok = replyBytes(2, ReplyOkCode), tail = "\1\2";
        QTest::newRow("empty: no event") << QByteArrayList{QByteArray()} << Checking << false;
        QTest::newRow("one byte: mismatch") << QByteArrayList{ok.left(1)} << Mismatch << true;
        QTest::newRow("two bytes echoing: failure") << QByteArrayList{ok.left(2)} << Wrong << false;
        QTest::newRow("three bytes echoing: failure")
            << QByteArrayList{ok.left(3)} << Wrong << false;
        QTest::newRow("failure status echoing")
            << QByteArrayList{replyBytes(2, 0x01) + tail} << Wrong << false;
        QTest::newRow("0xAC, next sequence: mismatch")
            << QByteArrayList{replyBytes(3, ReplyOkCode)} << Mismatch << true;
        QTest::newRow("0xAC echoing, trailing bytes: success")
            << QByteArrayList{ok + tail} << CheckedOk << false;
        QTest::newRow("mismatch then keep-alive: both handled")
            << QByteArrayList{ok.left(1), replyBytes(0, KeepAliveCode)} << Connected << true;
    }
    void replyDuringCheck()
    {
        QFETCH(QByteArrayList, replies);
        QFETCH(QString, expected);
        QFETCH(bool, end);
        QVERIFY(connectQuietly());
        device->answerRequests = false;
        click("pButCheckApplication");
        QTRY_COMPARE(device->count("Check"), 1);
        QCOMPARE(device->commands("Check").last().sequence, quint8(2));
        for (const QByteArray &reply : replies)
            device->sendToTool(reply);
        QTRY_COMPARE(controls(*window), expected);
        QTest::qWait(100);
        QCOMPARE(controls(*window), expected);
        QCOMPARE(device->count("End"), int(end));
        QCOMPARE(device->received.count(Datagram::command(CmdNotice, 3, "End")), int(end));
    }
};

QTEST_MAIN(LinkTest)
#include "tst_link.moc"
