#include "core/firmwareimage.h"
#include "support/testfiles.h"
#include "support/windowharness.h"

#include <QElapsedTimer>
#include <QLayout>
#include <QMenuBar>
#include <QMetaMethod>
#include <QProgressBar>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

namespace {
using Bytes = QVector<QByteArray>;
constexpr int Blocks = FirmwareImageSize / WriteBlockSize; // 1792
constexpr int All = 1 << 20;
const QString Down = "LinkDown Idle 0% [IP Port] 'Disconnected'";
const QString Connecting = "LinkConnecting Idle 0% [] 'Connecting...'";
const QString Connected = "LinkUp Idle 0% [Upload Stop Check] 'Connected'";
const QString Mismatch = "LinkConnecting Idle 0% [] 'Connected'";
const QString Wrong = "LinkConnecting Idle 0% [] 'Connected. Application is wrong!'";
const QString Checking = "LinkUp Checking 0% [Stop] 'Connected. Checking...'";
const QString Passed = "Connected. Checked successful!",
              Error = "Connected. Uploaded with error :(";
const QString CheckedOk = "LinkUp Idle 0% [Upload Stop Check StartApp] '" + Passed + "' allowed";
const QString Uploaded = "Connected. Uploading has been completed successful!";
QByteArray ping(quint8 sequence)
{
    return Datagram::command(CmdRequest, sequence, "Ping");
}

// "layout(widget[text] ~h nested(...) ~v ...)": items in layout order, "~h"/"~v" for spacers.
QString describe(QLayout *layout)
{
    QStringList items;
    for (int i = 0; i < layout->count(); ++i) {
        const QWidget *w = layout->itemAt(i)->widget();
        items << (w ? w->objectName() + '[' + w->property("text").toString() + ']'
                  : layout->itemAt(i)->layout() ? describe(layout->itemAt(i)->layout())
                  : layout->itemAt(i)->expandingDirections() == Qt::Horizontal ? "~h"
                                                                               : "~v");
    }
    return layout->objectName() + '(' + items.join(' ') + ')';
}

// Every block differs, so a block sent twice or out of order shows.
QByteArray sampleImage(int seed)
{
    QByteArray image(FirmwareImageSize, 0);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char((i * 31 + seed) ^ (i >> 9));
    return image;
}

// A command as the device received it, with what the window showed then: by that time the
// window has finished handling the reply (or click) that made it send the command.
struct Op
{
    Datagram::ParsedCommand command;
    int size, progress;
    QString status;
};
enum Fault { Stop, WrongSequence, Duplicate, Refuse, Pass };
constexpr int CheckAfterUpload = -1, CheckAlone = -2; // instead of acknowledged commands
} // namespace

// The window against a fake device on loopback: form, endpoint fields, control modes, the link
// and the operations, as the operator and the device see them.
class WindowTest : public WindowFixture
{
    Q_OBJECT
    QTemporaryDir dir;
    QStringList constructionWarnings;
    QVector<Op> ops;     // every command but "Ping"
    int answerLimit = 0; // the fake answers requests while `ops` holds fewer commands

    QString screen() const { return state().text(); }
    // The device leaves pings unanswered: only the test's own keep-alives count.
    bool connectQuietly(bool keepAlive = true)
    {
        device->answerPings = false;
        if (!pointAt(device->port()))
            return false;
        click("pButConnectToggle");
        if (!waitFor([&] { return device->count("Ping") > 0; }) || !keepAlive)
            return keepAlive == false;
        device->reply(1, KeepAliveCode);
        return waitFor([&] { return probe().linkState() == LinkUp; });
    }
    // One operator or device action of a control-mode scenario; false when it did not happen.
    bool step(const QString &name)
    {
        if (name == "connect" || name == "point")
            return name == "connect" ? connectToDevice() : pointAt(device->port());
        if (name == "toggle" || name == "check")
            click(name == "toggle" ? "pButConnectToggle" : "pButCheckApplication");
        else if (name.startsWith("quiet-")) // quiet-pings, quiet-requests
            (name == "quiet-pings" ? device->answerPings : device->answerRequests) = false;
        else if (name == "mark") // a value no operation sets, so "unchanged" is visible
            widget<QProgressBar>("progressBar")->setValue(37);
        else if (name == "timeout")
            invoke("slot_timer_timeout");
        else if (name == "check-ok") {
            click("pButCheckApplication");
            return waitFor([&] { return probe().uploadStage() == StageIdle; });
        } else if (name == "keepalive") // repeated until the device has learnt the window's port
            return waitFor([&] {
                device->reply(0x42, KeepAliveCode);
                return probe().linkState() == LinkUp;
            });
        else if (name == "mismatch") {
            device->reply(quint8(probe().sequenceNumber() + 1), ReplyOkCode);
            return waitFor([&] { return probe().linkState() == LinkConnecting; });
        } else if (name == "upload") {
            ModalCloser closer; // a box would mean the file was refused
            return setFile(QByteArray(FirmwareImageSize, 'Z')) &&
                   (click("pButStartUpload"), closer.seen.isEmpty());
        } else if (name.contains('=')) { // IP=text, PORT=text; "%port" is the device's port
            const QStringList edit = name.split('=');
            widget<QLineEdit>("pLineEdit" + edit[0])
                ->setText(QString(edit[1]).replace("%port", QString::number(device->port())));
            // The fields are disabled while connected, so finish the edit the way Qt would.
            return QMetaObject::invokeMethod(
                window.get(), qPrintable("on_pLineEdit" + edit[0] + "_editingFinished"));
        } else
            return false;
        return true;
    }
    void record()
    {
        const QByteArray &bytes = device->received.last();
        const auto command = Datagram::parseCommand(bytes.constData(), bytes.size());
        if (command && command->name != "Ping")
            ops.append({*command, int(bytes.size()), progress(), status()});
        device->answerRequests = ops.size() < answerLimit;
    }
    QStringList sentSince(int mark) const // "name type"
    {
        QStringList sent;
        for (int i = mark; i < ops.size(); ++i)
            sent << QString("%1 %2").arg(QString(ops[i].command.name)).arg(ops[i].command.type);
        return sent;
    }
    bool setFile(const QByteArray &bytes)
    {
        widget<QLineEdit>("pLineFileName")->setText(dir.filePath("f.bin"));
        return writeTestFile(dir.filePath("f.bin"), bytes);
    }
    // Starts an upload (or a check) whose next `answered` commands the fake acknowledges; the
    // one after that stays outstanding. With All, waits for the upload's end.
    bool start(const char *button, const QByteArray &image, int answered = All)
    {
        answerLimit = ops.size() + answered;
        device->answerRequests = answered > 0;
        if (!setFile(image))
            return false;
        click(button);
        return waitFor(
            [&] {
                return answered == All ? probe().uploadStage() == StageIdle
                                       : ops.size() == answerLimit + 1;
            },
            20000);
    }

private slots:
    void init()
    {
        ops.clear();
        answerLimit = All;
        makeWindow();
        constructionWarnings = takeWarnings();
        connect(device.get(), &FakeDevice::datagramReceived, this, &WindowTest::record);
    }
    void cleanup() { dropWindow(); }

    // Captions, defaults and layout order as the operator meets them.
    void freshStartShowsFormDefaults()
    {
        QCOMPARE(constructionWarnings, QStringList()); // e.g. no unmatched on_ slot
        QCOMPARE(window->objectName() + window->windowTitle(), QString("MainWindowBootloader"));
        QVERIFY(!widget<QProgressBar>("progressBar")->isTextVisible());
        QCOMPARE(window->menuBar()->objectName() + window->statusBar()->objectName() +
                     window->centralWidget()->objectName(),
                 QString("menubarstatusbarcentralwidget"));
        QCOMPARE(describe(window->centralWidget()->layout()),
                 QString("verticalLayout(horizontalLayout_2(~h label_2[IP address] pLineEditIP[") +
                     DefaultDeviceAddress +
                     "] ~h label[Port] pLineEditPORT[31120] ~h pButConnectToggle[Connect]) ~v "
                     "horizontalLayout(label_3[file] pLineFileName[] pButSelectFile[OpenFile...]) "
                     "~v horizontalLayout_3(pButPostBuild[Start postbuild] pButStartUpload[Start "
                     "Upload] pButStop[Stop Upload] pButStartApplication[Start Application] "
                     "pButCheckApplication[Check Application]) ~v progressBar[0%])");
    }

    void slotsConnectedOnceByName()
    {
        const QMetaObject *meta = window->metaObject();
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            const QByteArray signature = meta->method(i).methodSignature();
            const QList<QByteArray> parts = signature.split('_'); // on, object, signal(args)
            if (parts[0] != "on")
                continue;
            const QObject *sender = widget<QObject>(parts.value(1));
            QVERIFY2(sender && parts.size() == 3, signature.constData());
            const int signal = sender->metaObject()->indexOfSignal(parts[2].constData());
            // Removing one connection must leave none: a string disconnect alone would remove
            // all duplicates at once and so could not tell one connection from two.
            QVERIFY2(QMetaObject::disconnectOne(sender, signal, window.get(), i) &&
                         !QObject::disconnect(sender, ("2" + parts[2]).constData(), window.get(),
                                              ("1" + signature).constData()),
                     signature.constData());
        }
    }

    void endpointEditing_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("typed"); // after an accepted edit to `prior`, if any
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("prior");
        const auto row = [](const char *field, const char *typed, const char *shown,
                            const char *value, const char *prior = "") {
            QTest::addRow("%s '%s' after '%s'", field, typed, prior)
                << field << typed << shown << value << prior;
        };
        for (const char *refused : {"", "12ab", "-5", "65536", "99999999"})
            row("PORT", refused, "31120", "31120");
        row("PORT", "-5", "4000", "4000", "4000");
        for (const char *taken : {"4000", "0", "65535"})
            row("PORT", taken, taken, taken);
        row("PORT", " 80", " 80", "80");
        const char *home = DefaultDeviceAddress;
        for (const char *refused :
             {"127.0.0.256", "", "abc", "127.0.1", "0x7f.0.0.1", "2130706433", "300.1.1.1"})
            row("IP", refused, home, home);
        row("IP", "127.000.000.001", "127.0.0.1", "127.0.0.1", "127.0.0.1"); // leading zeros
        row("IP", "127.0.0.1", "127.0.0.1", "127.0.0.1");
        row("IP", "::1", "::1", "::1");
        row("IP", "0:0:0:0:0:0:0:1", "0:0:0:0:0:0:0:1", "::1");
        row("IP", "abc", "::1", "::1", "0:0:0:0:0:0:0:1"); // the current one, canonically
    }
    void endpointEditing()
    {
        QFETCH(QString, field);
        QFETCH(QString, prior);
        QFETCH(QString, typed);
        if (!prior.isEmpty())
            typeInto("pLineEdit" + field, prior);
        typeInto("pLineEdit" + field, typed);
        QTEST(widget<QLineEdit>("pLineEdit" + field)->text(), "shown");
        const DeviceEndpoint &endpoint = probe().endpoint();
        QTEST(field == "PORT" ? QString::number(endpoint.port) : endpoint.address.toString(),
              "value");
        // Nothing was sent: the first send would have bound the socket and advanced the counter.
        QCOMPARE(window->findChild<QUdpSocket *>()->localPort(), quint16(0));
        QCOMPARE(probe().sequenceNumber(), 0);
    }

    void controlModes_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *tag, const char *steps, const QString &expected) {
            QTest::newRow(tag) << steps << expected;
        };
        const QString ok37 = "LinkUp Idle 37% [Upload Stop Check] '" + Passed + "'";
        row("construction", "", Down);
        row("Disconnect after a success keeps progress", "connect check-ok mark toggle",
            "LinkDown Idle 37% [IP Port] 'Disconnected'");
        row("link timer expiring after Disconnect clears it", "connect mark toggle timeout", Down);
        row("Connect clears progress", "point quiet-pings mark toggle", Connecting);
        row("Connect again before the link timeout", "connect mark toggle quiet-pings toggle",
            Connecting);
        row("first keep-alive", "point quiet-pings toggle mark keepalive",
            "LinkUp Idle 37% [Upload Stop Check] 'Connected'");
        row("sequence mismatch after a success keeps the flag",
            "connect check-ok quiet-pings mismatch", Mismatch + " allowed");
        row("keep-alive after success and mismatch leaves Start Application off",
            "connect check-ok quiet-pings mismatch keepalive", Connected + " allowed");
        row("check success keeps progress", "connect mark check-ok",
            "LinkUp Idle 37% [Upload Stop Check StartApp] '" + Passed + "' allowed");
        row("link timeout during a check", "connect quiet-pings quiet-requests check mark timeout",
            Down);
        row("upload accepted after a success", "connect check-ok quiet-requests mark upload",
            "LinkUp Erasing 0% [Stop] 'Connected. Flash erasing...'");
        row("check started after a success", "connect check-ok quiet-requests mark check",
            "LinkUp Checking 37% [Stop] 'Connected. Checking...'");
        // An accepted edit may point at another device: a success no longer vouches for it.
        row("address accepted after a success", "connect check-ok mark IP=127.0.0.1", ok37);
        row("same port accepted after a success", "connect check-ok mark PORT=%port", ok37);
        row("refused address after a success", "connect check-ok IP=127.0.1", CheckedOk);
        row("refused port after a success", "connect check-ok PORT=abc", CheckedOk);
    }
    void controlModes()
    {
        QFETCH(QString, steps);
        for (const QString &name : steps.split(' ', Qt::SkipEmptyParts))
            QVERIFY2(step(name), qPrintable(name));
        QTEST(screen(), "expected");
        for (const char *name :
             {"pButConnectToggle", "pLineFileName", "pButSelectFile", "pButPostBuild"})
            QVERIFY2(widget<QWidget>(name)->isEnabled(), name);
    }

    void firstKeepAliveWithAnySequenceConnects_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("sequence 0") << FakeDevice::replyBytes(0, KeepAliveCode);
        QTest::newRow("sequence 255, trailing bytes")
            << FakeDevice::replyBytes(255, KeepAliveCode) + "junk";
    }
    void firstKeepAliveWithAnySequenceConnects()
    {
        QFETCH(QByteArray, reply);
        QVERIFY(connectQuietly(false));
        QCOMPARE(device->received.first(), QByteArray::fromHex("03010450696E67"));
        QCOMPARE(screen(), Connecting);
        device->sendToTool(reply);
        QTRY_COMPARE(screen(), Connected);
        QCOMPARE(sentinel(0), Bytes());
    }

    void pingTicksAndKeepAlivesWhileUp()
    {
        QVERIFY(connectQuietly(false));
        invoke("slot_ping_timer_timeout");
        QTRY_COMPARE(device->count("Ping"), 2);
        QCOMPARE(device->received.last(), ping(1)); // not advancing
        device->reply(1, KeepAliveCode);
        QTRY_COMPARE(screen(), Connected);
        click("pButCheckApplication"); // advances to 2
        QTRY_COMPARE(screen(), CheckedOk);
        const int mark = device->received.size(), read = reads;
        device->reply(0, KeepAliveCode); // keep-alives while up change nothing
        device->reply(0x99, KeepAliveCode);
        QVERIFY(readSince(read, 2));
        QCOMPARE(screen(), CheckedOk);
        QCOMPARE(sentinel(mark), Bytes());
        QCOMPARE(device->received.last(), ping(2));
        invoke("slot_timer_timeout"); // no keep-alive for 12 s
        QCOMPARE(screen(), Down);
        const int down = device->received.size();
        invoke("slot_ping_timer_timeout"); // no pings while down: the next is Connect's
        click("pButConnectToggle");
        QTRY_COMPARE(device->received.size(), down + 1);
        QCOMPARE(device->received.last(), ping(3));
    }

    void pingsGoOutAboutOncePerSecond()
    {
        QVERIFY(connectToDevice());
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(device->count("Ping") >= 3, 3500);
        QVERIFY2(clock.elapsed() >= 1500, "two ticks came too fast");
        for (const auto &ping : device->commands("Ping"))
            QCOMPARE(int(ping.sequence), 1);
    }

    void onlyKeepAlivesAndConnectRestartTheLinkTimer()
    {
        QVERIFY(connectQuietly());
        // More of the 12 s than a coarse timer's 5 % slack, so a restart shows.
        QTRY_VERIFY(device->count("Ping") == 2 && probe().linkTimerRemainingMs() < 11000);
        click("pButCheckApplication");
        QTRY_COMPARE(screen(), CheckedOk);
        QVERIFY(probe().linkTimerRemainingMs() < 11000); // 0xAC is no keep-alive
        device->reply(0, KeepAliveCode);
        QVERIFY(waitFor([&] { return probe().linkTimerRemainingMs() > 11400; }));
        const int sent = device->received.size();
        click("pButConnectToggle");
        QCOMPARE(screen(), Down);
        click("pButConnectToggle");
        QCOMPARE(screen(), Connecting);
        QVERIFY(probe().linkTimerRemainingMs() > 11400);
        QTRY_COMPARE(device->received.size(), sent + 1); // the device was not told of Disconnect
        QCOMPARE(device->received.last(), ping(3));
    }

    // Only the endpoint's address and port may drive the window or draw a notice.
    void strangersAreIgnored_data()
    {
        QTest::addColumn<QString>("from"); // 127.0.0.2 on the device's port, or another port
        QTest::addColumn<bool>("linkDown");
        QTest::addColumn<int>("sequenceOffset"); // from the outstanding one
        for (const char *from : {"127.0.0.2", "127.0.0.1"}) {
            QTest::addRow("%s: success during a check", from) << from << false << 0;
            QTest::addRow("%s: wrong sequence during a check", from) << from << false << 1;
            QTest::addRow("%s: keep-alive while down", from) << from << true << 0;
        }
    }
    void strangersAreIgnored()
    {
        QFETCH(QString, from);
        QFETCH(bool, linkDown);
        QFETCH(int, sequenceOffset);
        QVERIFY(connectQuietly());
        FakeDevice stranger(qPrintable(from), from == "127.0.0.1" ? 0 : device->port());
        QVERIFY(stranger.port() != 0);
        device->answerRequests = false;
        click(linkDown ? "pButConnectToggle" : "pButCheckApplication");
        QTRY_COMPARE(device->count("Check"), int(!linkDown));
        const QString before = screen();
        const int mark = device->received.size(), read = reads;
        stranger.sendTo(window->findChild<QUdpSocket *>()->localPort(),
                        FakeDevice::replyBytes(quint8(probe().sequenceNumber() + sequenceOffset),
                                               linkDown ? KeepAliveCode : ReplyOkCode));
        QVERIFY(readSince(read, 1));
        QCOMPARE(screen(), before);
        if (linkDown) { // Connect's Ping comes first, and the device itself still draws a notice
            click("pButConnectToggle");
            QTRY_COMPARE(device->received.size(), mark + 1);
            QCOMPARE(device->received.last(), ping(2));
            click("pButConnectToggle");
            device->reply(0, KeepAliveCode);
            QTRY_COMPARE(device->received.size(), mark + 2);
            QCOMPARE(device->received.last(), Datagram::command(CmdNotice, 3, "End"));
        } else { // and the device's own reply still completes the check
            QCOMPARE(sentinel(mark), Bytes());
            device->reply(2, ReplyOkCode);
            QTRY_COMPARE(screen(), CheckedOk);
        }
        QCOMPARE(stranger.received, Bytes());
    }

    // A peer that sends every datagram back must not drive an exchange of notices: connected,
    // or after Disconnect with one datagram to start it.
    void echoingPeerDrawsFewNotices_data()
    {
        QTest::addColumn<bool>("disconnect");
        QTest::newRow("connected") << false;
        QTest::newRow("after Disconnect") << true;
    }
    void echoingPeerDrawsFewNotices()
    {
        QFETCH(bool, disconnect);
        device->echo = true;
        QVERIFY(pointAt(device->port()));
        click("pButConnectToggle");
        QTRY_VERIFY(!device->received.isEmpty());
        if (disconnect)
            click("pButConnectToggle");
        device->sendToTool("x");
        QTest::qWait(2500); // real time on purpose: what is measured is notices per second
        QVERIFY2(device->count("End") <= 4, qPrintable(QString::number(device->count("End"))));
    }

    void replyDuringCheck_data()
    {
        QTest::addColumn<QByteArrayList>("replies"); // back to back
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("end");
        const QByteArray ok = FakeDevice::replyBytes(2, ReplyOkCode), tail = "\1\2";
        const auto row = [](const char *tag, const QByteArrayList &replies, const QString &screen,
                            bool end) {
            QTest::newRow(tag) << replies << screen << end;
        };
        row("empty: no event", {QByteArray()}, Checking, false);
        row("one byte: mismatch", {ok.left(1)}, Mismatch, true);
        row("two bytes echoing: failure", {ok.left(2)}, Wrong, false);
        row("three bytes echoing: failure", {ok.left(3)}, Wrong, false);
        row("failure status echoing", {FakeDevice::replyBytes(2, 0x01) + tail}, Wrong, false);
        row("0xAC, next sequence: mismatch", {FakeDevice::replyBytes(3, ReplyOkCode)}, Mismatch,
            true);
        row("0xAC echoing, trailing bytes: success", {ok + tail}, CheckedOk, false);
        row("mismatch then keep-alive: both handled",
            {ok.left(1), FakeDevice::replyBytes(0, KeepAliveCode)}, Connected, true);
    }
    void replyDuringCheck()
    {
        QFETCH(QByteArrayList, replies);
        QFETCH(bool, end);
        QVERIFY(connectQuietly());
        device->answerRequests = false;
        click("pButCheckApplication");
        QTRY_COMPARE(device->count("Check"), 1);
        QCOMPARE(device->commands("Check").last().sequence, quint8(2));
        const int mark = device->received.size(), read = reads;
        for (const QByteArray &reply : replies)
            device->sendToTool(reply);
        QVERIFY(readSince(read, replies.size()));
        QTEST(screen(), "expected");
        QCOMPARE(sentinel(mark), end ? Bytes{Datagram::command(CmdNotice, 3, "End")} : Bytes());
    }

    void fullUpload()
    {
        QVERIFY(connectToDevice());
        const QByteArray image = sampleImage(7);
        QVERIFY(start("pButStartUpload", image));
        QCOMPARE(ops[0].status, QString("Connected. Flash erasing..."));
        QStringList commands{"Start 3"};
        while (commands.size() <= Blocks)
            commands << "Write 3";
        QCOMPARE(sentSince(0), commands << "End 3");
        QByteArray reassembled;
        int wraps = 0;
        for (int i = 1; i < ops.size(); ++i) {
            // Each command takes the next number: 255 is followed by 1, never 0.
            const quint8 previous = ops[i - 1].command.sequence;
            QCOMPARE(ops[i].command.sequence, quint8(previous == 255 ? 1 : previous + 1));
            wraps += previous == 255;
            // After acknowledging command i - 1; 100 when "End" goes out.
            QCOMPARE(ops[i].progress, (i - 1) * 100 / Blocks);
            QCOMPARE(ops[i].size, i <= Blocks ? 520 : 6);
            QCOMPARE(ops[i].status, i <= Blocks ? QString("Connected. Uploading...")
                                                : QString("Connected. Checking..."));
            reassembled += ops[i].command.payload;
        }
        QVERIFY(wraps >= 7 && reassembled == image);
        QCOMPARE(ops[18].progress, 0); // 17 blocks acknowledged
        QCOMPARE(ops[19].progress, 1);
        QCOMPARE(screen(),
                 "LinkUp Idle 100% [Upload Stop Check StartApp] '" + Uploaded + "' allowed");
        click("pButStop"); // idle: nothing to stop
        QCOMPARE(sentinel(device->received.size()), Bytes());
        for (int clicks = 1; clicks <= 2; ++clicks) {
            click("pButStartApplication");
            QTRY_COMPARE(sentSince(Blocks + 1 + clicks), QStringList{"StartApplication 1"});
            QCOMPARE(screen(), "LinkUp Idle 100% [Upload Stop Check StartApp] 'Connected. "
                               "Application should be started.' allowed");
        }
    }

    void busyOperationEnds_data()
    {
        QTest::addColumn<int>("answered"); // commands acknowledged before
        QTest::addColumn<int>("fault");
        QTest::addColumn<QStringList>("sent"); // by the window afterwards
        QTest::addColumn<QString>("verdict");
        const QStringList end{"End 1"}, none;
        const QString stopping = "Connected. Stoping...";
        const int writing = 41, finishing = 1 + Blocks;
        QTest::newRow("Stop erasing, late reply") << 0 << int(Stop) << end << stopping;
        QTest::newRow("reply dropped while writing, Stop, late reply")
            << writing << int(Stop) << end << stopping;
        QTest::newRow("Stop finishing, late reply") << finishing << int(Stop) << end << stopping;
        QTest::newRow("Stop checking, late reply")
            << CheckAfterUpload << int(Stop) << end << stopping;
        QTest::newRow("wrong sequence") << writing << int(WrongSequence) << end << "Connected";
        QTest::newRow("duplicated reply")
            << writing << int(Duplicate) << QStringList{"Write 3", "End 1"} << "Connected";
        QTest::newRow("Start refused") << 0 << int(Refuse) << none << Error;
        QTest::newRow("Write refused") << writing << int(Refuse) << none << Error;
        QTest::newRow("End refused") << finishing << int(Refuse) << none << Error;
        QTest::newRow("Check refused after an upload")
            << CheckAfterUpload << int(Refuse) << none << "Connected. Application is wrong!";
        QTest::newRow("Check passes, progress stays 0")
            << CheckAlone << int(Pass) << none << Passed;
        QTest::newRow("Check passes after an upload, progress stays 100")
            << CheckAfterUpload << int(Pass) << none << Passed;
    }
    void busyOperationEnds()
    {
        QFETCH(int, answered);
        QFETCH(int, fault);
        QFETCH(QString, verdict);
        QVERIFY(connectToDevice());
        device->answerPings = false; // a keep-alive would restore the controls at the next tick
        if (answered < 0)
            QVERIFY((answered == CheckAlone || start("pButStartUpload", sampleImage(1))) &&
                    start("pButCheckApplication", {}, 0));
        else
            QVERIFY(start("pButStartUpload", sampleImage(answered), answered));
        QCOMPARE(state().enabled, QString("Stop"));                       // only Stop while busy
        QVERIFY(probe().uploadStage() != StageWriting || progress() > 0); // so its reset shows
        const quint8 outstanding = ops.last().command.sequence;
        const int mark = ops.size(), sent = device->received.size(), read = reads;
        if (fault == Stop) {
            click("pButStop");
            QCOMPARE(status(), verdict);
            QCOMPARE(progress(), 0); // before the late reply also resets it
        }                            // then the device's (late) reply
        device->reply(fault == WrongSequence ? quint8(outstanding % 255 + 1) : outstanding,
                      fault == Refuse ? 0x01 : ReplyOkCode);
        if (fault == Duplicate)
            device->reply(outstanding, ReplyOkCode);
        QVERIFY(readSince(read, fault == Duplicate ? 2 : 1));
        sentinel(sent);
        QTEST(sentSince(mark), "sent");
        const bool passes = fault == Pass;
        const QString bar = passes && answered == CheckAfterUpload ? "100%" : "0%";
        QCOMPARE(screen(), passes ? "LinkUp Idle " + bar + " [Upload Stop Check StartApp] '" +
                                        verdict + "' allowed"
                                  : "LinkConnecting Idle 0% [] '" + verdict + "'");
        // The keep-alive brings the controls back (Start Application only after a success); a
        // verdict stays on screen until Disconnect.
        device->answerPings = true;
        const int alive = reads;
        invoke("slot_ping_timer_timeout");
        QVERIFY(readSince(alive, 1));
        QCOMPARE(screen(),
                 "LinkUp Idle " + bar +
                     (passes ? " [Upload Stop Check StartApp] '" : " [Upload Stop Check] '") +
                     (passes || fault == Refuse ? verdict : "Connected") + "'" +
                     (passes ? " allowed" : ""));
        click("pButConnectToggle");
        QCOMPARE(status(), QString("Disconnected"));
    }

    // Disconnect and Connect abandon what the last connection left running.
    void reconnectAbandonsOperation_data()
    {
        QTest::addColumn<QByteArray>("button");
        QTest::newRow("stalled upload") << QByteArray("pButStartUpload");
        QTest::newRow("stalled check") << QByteArray("pButCheckApplication");
    }
    void reconnectAbandonsOperation()
    {
        QFETCH(QByteArray, button);
        QVERIFY(connectToDevice());
        QVERIFY(start(button.constData(), sampleImage(2), button == "pButStartUpload" ? 41 : 0));
        click("pButConnectToggle");
        click("pButConnectToggle");
        QVERIFY(waitFor([&] { return probe().linkState() == LinkUp; }));
        QCOMPARE(screen(), Connected);
        const int mark = ops.size();
        const QByteArray image = sampleImage(3);
        QVERIFY(start("pButStartUpload", image));
        QCOMPARE(sentSince(mark).first(), QString("Start 3"));
        QVERIFY(ops[mark + 1].command.payload == image.left(WriteBlockSize)); // from offset 0
        QCOMPARE(status(), Uploaded);
    }

    void operationsIgnoredWhileLinkDown()
    {
        QVERIFY(connectToDevice() && setFile(sampleImage(3)));
        click("pButConnectToggle");
        const int mark = device->received.size();
        for (const char *slot : {"on_pButStartUpload_clicked", "on_pButCheckApplication_clicked",
                                 "on_pButStartApplication_clicked", "on_pButStop_clicked"})
            invoke(slot);
        QCOMPARE(screen(), Down);
        click("pButConnectToggle"); // its Ping is the first thing sent since
        QTRY_COMPARE(device->received.size(), mark + 1);
        QCOMPARE(device->received.last(), ping(2));
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
