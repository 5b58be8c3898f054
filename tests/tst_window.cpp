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
#include <arpa/inet.h>
#include <atomic>
#include <thread>
#include <unistd.h>

namespace {
constexpr int Blocks = FirmwareImageSize / WriteBlockSize; // 1792
const QString Passed = "Connected. Checked successful!",
              Error = "Connected. Uploaded with error :(",
              Wrong = "Connected. Application is wrong!", Stopping = "Connected. Stoping...";

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
QByteArray sampleImage()
{
    QByteArray image(FirmwareImageSize, 0);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char((i * 31 + 7) ^ (i >> 9));
    return image;
}
} // namespace

// The window against a fake device on loopback: form, endpoint fields, control modes, the link
// and the operations, as the operator and the device see them.
class WindowTest : public WindowFixture
{
    Q_OBJECT
    QTemporaryDir dir;

    // One action of a scenario; false when it did not take place.
    //   point, connect          aim at the device; and press Connect and answer its Ping
    //   toggle stop startapp    clicks
    //   upload[:n] check[:n]    clicks: the device acknowledges n requests, then holds the next
    //                           (without n it answers all and the step waits for the verdict)
    //   tick timeout on_...     the ping or link timer's slot, or a by-name slot
    //   37                      progress to a value no operation sets, so "unchanged" shows
    //   IP=text PORT=text       an edit finished ("%port": the device's port)
    //   ok bad next alive xHEX  datagrams to the window: success or failure for the current
    //                           sequence, success for the next one, a keep-alive, raw bytes;
    //                           "a+b" back to back; "@2" from 127.0.0.2 on the device's port,
    //                           "@p" from 127.0.0.1 on another port (not waited for)
    bool step(const QString &name)
    {
        static const QMap<QString, QString> targets{
            {"toggle", "pButConnectToggle"},      {"stop", "pButStop"},
            {"startapp", "pButStartApplication"}, {"upload", "pButStartUpload"},
            {"check", "pButCheckApplication"},    {"tick", "slot_ping_timer_timeout"},
            {"timeout", "slot_timer_timeout"}};
        const QString target = targets.value(name.section(':', 0, 0), name);
        if (name == "point" || name == "connect")
            return name == "point" ? pointAt(device->port()) : connectToDevice();
        if (name == "37")
            return widget<QProgressBar>("progressBar")->setValue(37), true;
        if (target.startsWith("slot_") || target.startsWith("on_"))
            return QMetaObject::invokeMethod(window.get(), qPrintable(target));
        if (target.startsWith("pBut") && !name.startsWith("upload") && !name.startsWith("check"))
            return click(qPrintable(target)), true;
        if (target.startsWith("pBut")) {
            const bool limited = name.contains(':');
            const int requests = device->requests, answered = name.section(':', 1).toInt();
            device->answers = limited ? answered : 1 << 30;
            const auto done = [&] {
                return limited ? device->requests > requests + answered
                               : probe().uploadStage() == StageIdle;
            };
            ModalCloser closer; // a box would mean the file was refused
            click(qPrintable(target));
            return closer.seen.isEmpty() && waitFor(done, 20000);
        }
        if (name.contains('=')) {
            const QStringList edit = name.split('=');
            widget<QLineEdit>("pLineEdit" + edit[0])
                ->setText(QString(edit[1]).replace("%port", QString::number(device->port())));
            // The fields are disabled while connected, so finish the edit the way Qt would.
            return QMetaObject::invokeMethod(
                window.get(), qPrintable("on_pLineEdit" + edit[0] + "_editingFinished"));
        }
        const quint8 sequence = quint8(probe().sequenceNumber());
        const QString from = name.section('@', 1);
        std::unique_ptr<FakeDevice> stranger;
        if (!from.isEmpty())
            stranger = std::make_unique<FakeDevice>(from == "2" ? "127.0.0.2" : "127.0.0.1",
                                                    from == "2" ? device->port() : 0);
        const quint16 to = window->findChild<QUdpSocket *>()->localPort();
        const QStringList datagrams = name.section('@', 0, 0).split('+');
        const int read = reads;
        for (const QString &kind : datagrams) {
            QByteArray bytes = QByteArray::fromHex(kind.mid(1).toLatin1());
            if (kind == "ok" || kind == "bad")
                bytes = FakeDevice::reply(sequence, kind == "ok" ? ReplyOkCode : 0x01);
            else if (kind == "next")
                bytes = FakeDevice::reply(quint8(sequence % 255 + 1), ReplyOkCode);
            else if (kind == "alive")
                bytes = FakeDevice::reply(0x42, KeepAliveCode);
            else if (!kind.startsWith('x'))
                return false;
            (stranger ? *stranger : *device).sendTo(to, bytes);
        }
        // While the link is wanted the kernel drops a stranger's datagrams: nothing to wait for.
        return to != 0 && (!stranger || stranger->port() != 0) &&
               (stranger || readSince(read, int(datagrams.size())));
    }

private slots:
    void initTestCase() { QVERIFY(writeTestFile(dir.filePath("f.bin"), sampleImage())); }
    void init()
    {
        makeWindow();
        widget<QLineEdit>("pLineFileName")->setText(dir.filePath("f.bin"));
    }
    void cleanup() { dropWindow(); }

    // Captions, defaults and layout order as the operator meets them.
    void freshStartShowsFormDefaults()
    {
        QCOMPARE(window->objectName() + window->windowTitle(), QString("MainWindowBootloader"));
        QVERIFY(!widget<QProgressBar>("progressBar")->isTextVisible());
        QCOMPARE(window->menuBar()->objectName() + window->statusBar()->objectName() +
                     window->centralWidget()->objectName(),
                 QString("menubarstatusbarcentralwidget"));
        widget<QLineEdit>("pLineFileName")->clear();
        QCOMPARE(describe(window->centralWidget()->layout()),
                 QString("verticalLayout(horizontalLayout_2(~h label_2[IP address] pLineEditIP[") +
                     DefaultDeviceAddress +
                     "] ~h label[Port] pLineEditPORT[31120] ~h pButConnectToggle[Connect]) ~v "
                     "horizontalLayout(label_3[file] pLineFileName[] pButSelectFile[OpenFile...]) "
                     "~v horizontalLayout_3(pButPostBuild[Start postbuild] pButStartUpload[Start "
                     "Upload] pButStop[Stop Upload] pButStartApplication[Start Application] "
                     "pButCheckApplication[Check Application]) ~v progressBar[0%])");
        QCOMPARE(screen(), QString("LinkDown Idle 0% [IP Port] 'Disconnected'"));
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
            QVERIFY2(sender, signature.constData());
            QVERIFY2(parts.size() == 3, signature.constData());
            const int signal = sender->metaObject()->indexOfSignal(parts[2].constData());
            // Removing one connection must leave none: a string disconnect alone would remove
            // all duplicates at once and so could not tell one connection from two.
            QVERIFY2(QMetaObject::disconnectOne(sender, signal, window.get(), i),
                     signature.constData());
            QVERIFY2(!QObject::disconnect(sender, ("2" + parts[2]).constData(), window.get(),
                                          ("1" + signature).constData()),
                     signature.constData());
        }
    }

    void endpointEditing_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("typed"); // edits finished one after another, '|' between
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("value");
        const auto row = [](const char *field, const char *typed, const char *shown,
                            const char *value) {
            QTest::addRow("%s '%s'", field, typed) << field << typed << shown << value;
        };
        row("PORT", "65536", "31120", "31120");
        row("PORT", "4000|abc", "4000", "4000"); // the current one again
        row("PORT", "65535", "65535", "65535");
        const char *home = DefaultDeviceAddress;
        for (const char *refused : {"127.0.0.256", "127.0.1", "0x7f.0.0.1", "2130706433"})
            row("IP", refused, home, home);
        row("IP", "127.0.0.1|127.000.000.001", "127.0.0.1", "127.0.0.1"); // leading zeros
        row("IP", "0:0:0:0:0:0:0:1", "0:0:0:0:0:0:0:1", "::1");
        row("IP", "0:0:0:0:0:0:0:1|abc", "::1", "::1"); // the current one, canonically
    }
    void endpointEditing()
    {
        QFETCH(QString, field);
        QFETCH(QString, typed);
        for (const QString &text : typed.split('|'))
            typeInto("pLineEdit" + field, text);
        QTEST(widget<QLineEdit>("pLineEdit" + field)->text(), "shown");
        const DeviceEndpoint &endpoint = probe().endpoint();
        QTEST(field == "PORT" ? QString::number(endpoint.port) : endpoint.address.toString(),
              "value");
        // Nothing was sent: the first send would have bound the socket and advanced the counter.
        QCOMPARE(window->findChild<QUdpSocket *>()->localPort(), quint16(0));
        QCOMPARE(probe().sequenceNumber(), 0);
    }

    // Steps (see step()), then the screen and what the device received: since "|" if given
    // (pings too when the link was down there), else from the start, pings left out.
    void controlModes_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("screen");
        QTest::addColumn<QString>("sent");
        const auto row = [](const char *tag, const char *steps, const QString &screen,
                            const char *sent) {
            QTest::newRow(tag) << steps << screen << sent;
        };
        const auto busy = [](const QString &status) {
            return "LinkConnecting Idle 0% [] '" + status + "'";
        };
        const auto up = [](const QString &status, const char *bar = "0") {
            return QString("LinkUp Idle %1% [Upload Stop Check] '%2'").arg(bar, status);
        };
        const QString down = "LinkDown Idle 0% [IP Port] 'Disconnected'",
                      mismatch = busy("Connected"), connected = up("Connected"),
                      checking = "LinkUp Checking %1% [Stop] 'Connected. Checking...'",
                      passed =
                          "LinkUp Idle 0% [Upload Stop Check StartApp] '" + Passed + "' allowed";
        row("fresh window", "point", down, "Ping 1");
        row("Disconnect after a success keeps progress", "connect check 37 toggle",
            "LinkDown Idle 37% [IP Port] 'Disconnected'", "Check 2, Ping 3");
        row("link timer expiring after Disconnect clears it", "connect 37 toggle timeout", down,
            "Ping 2");
        row("Connect clears progress", "point 37 toggle",
            "LinkConnecting Idle 0% [] 'Connecting...'", "Ping 1");
        row("first keep-alive", "point toggle 37 alive", up("Connected", "37"), "Ping 1");
        row("mismatch while connecting claims no link", "connect toggle toggle next",
            busy("Connecting..."), "End! 3, Ping 3");
        row("first keep-alive: any sequence, trailing bytes", "point toggle x55ff00736a756e6b",
            connected, "Ping 1");
        row("mismatch after a success keeps the flag", "connect check next", mismatch + " allowed",
            "Check 2, End! 3, Ping 3");
        row("keep-alive after success and mismatch leaves Start Application off",
            "connect check next alive", connected + " allowed", "Check 2, End! 3, Ping 3");
        row("check success keeps progress", "connect 37 check",
            "LinkUp Idle 37% [Upload Stop Check StartApp] '" + Passed + "' allowed",
            "Check 2, Ping 2");
        row("keep-alives while up change nothing", "connect check alive x55000073", passed,
            "Check 2, Ping 2");
        row("link timeout during a check; no pings while down", "connect check:0 37 timeout | tick",
            down, "Ping 3");
        row("upload accepted after a success", "connect check 37 upload:0",
            "LinkUp Erasing 0% [Stop] 'Connected. Flash erasing...'", "Check 2, Start 3, Ping 3");
        row("check started after a success", "connect check 37 check:0", checking.arg(37),
            "Check 2, Check 3, Ping 3");
        // An accepted edit may point at another device: a success no longer vouches for it.
        row("address accepted after a success", "connect check 37 IP=127.0.0.1", up(Passed, "37"),
            "Check 2, Ping 2");
        row("same port accepted after a success", "connect check 37 PORT=%port", up(Passed, "37"),
            "Check 2, Ping 2");
        row("refused address after a success", "connect check IP=127.0.1", passed,
            "Check 2, Ping 2");
        row("refused port after a success", "connect check PORT=abc", passed, "Check 2, Ping 2");
        row("operations ignored while down",
            "connect toggle | on_pButStartUpload_clicked on_pButCheckApplication_clicked "
            "on_pButStartApplication_clicked on_pButStop_clicked",
            down, "Ping 2");

        // Replies to a check (sequence 2), down to the byte.
        row("check: empty datagram, no event", "connect check:0 x", checking.arg(0),
            "Check 2, Ping 2");
        row("check: one byte, mismatch", "connect check:0 x55", mismatch,
            "Check 2, End! 3, Ping 3");
        row("check: two bytes, failure", "connect check:0 x5502", busy(Wrong), "Check 2, Ping 2");
        row("check: success, trailing bytes", "connect check:0 x550200ac0102", passed,
            "Check 2, Ping 2");
        row("check: mismatch and keep-alive back to back", "connect check:0 x55+alive", connected,
            "Check 2, End! 3, Ping 3");

        // How an operation ends; a late reply meets the idle stage and draws a notice. A
        // failure verdict stays after the keep-alive that brings the controls back.
        row("Stop while erasing", "connect upload:0 37 stop", busy(Stopping), "Start 2, Ping 2");
        row("Stop while writing", "connect upload:41 | stop", busy(Stopping), "Ping 43");
        row("late reply after Stop", "connect check:0 stop ok", busy(Stopping),
            "Check 2, End! 3, Ping 3");
        row("wrong sequence while writing", "connect upload:41 | next", mismatch,
            "End! 44, Ping 44");
        row("duplicated reply while writing", "connect upload:41 | ok+ok", mismatch,
            "Write 44, End! 45, Ping 45");
        // A peer that answers notices would otherwise drive an exchange at network speed.
        row("strays back to back draw one notice", "connect ok+ok+ok+ok", busy("Connecting..."),
            "End! 2, Ping 2");
        row("Start refused", "connect upload:0 bad", busy(Error), "Start 2, Ping 2");
        row("Write refused, keep-alive", "connect upload:41 | bad alive", up(Error), "Ping 43");
        row("End refused", "connect upload:1793 | bad", busy(Error), "Ping 10");
        row("Check refused after an upload, keep-alive", "connect upload | check:0 bad alive",
            up(Wrong), "Check 11, Ping 11");
        row("Disconnect replaces a failure verdict", "connect upload:0 bad alive toggle", down,
            "Start 2, Ping 3");
        row("Connect abandons a stalled upload; the next one completes",
            "connect upload:41 toggle toggle alive upload |",
            "LinkUp Idle 100% [Upload Stop Check StartApp] 'Connected. Uploading has been "
            "completed successful!' allowed",
            "Ping 53");

        // Only the endpoint's address and port may drive the window or draw a notice.
        for (const char *from : {"2", "p"}) {
            QTest::addRow("stranger @%s during a check", from)
                << QString("connect check:0 ok@%1 next@%1 ok").arg(from) << passed
                << "Check 2, Ping 2";
            QTest::addRow("stranger @%s while down", from)
                << QString("connect toggle alive@%1").arg(from) << down << "Ping 2";
        }
        row("the device while down, back to back", "connect toggle alive+alive+alive", down,
            "End! 2, Ping 3");
    }
    void controlModes()
    {
        QFETCH(QString, steps);
        int mark = 0;
        bool pings = false;
        for (const QString &name : steps.split(' ', Qt::SkipEmptyParts)) {
            if (name != "|")
                QVERIFY2(step(name), qPrintable(name));
            else
                std::tie(mark, pings) =
                    std::make_pair(int(device->received.size()), probe().linkState() == LinkDown);
        }
        QTEST(screen(), "screen");
        for (const char *name :
             {"pButConnectToggle", "pLineFileName", "pButSelectFile", "pButPostBuild"})
            QVERIFY2(widget<QWidget>(name)->isEnabled(), name);
        QTEST(sentSince(mark, pings), "sent");
    }

    // Pings go out about once a second; only a keep-alive or Connect restarts the 12 s link
    // timer. The one real-time wait here: twice until the link timer has run 0.2 s.
    void timers()
    {
        QVERIFY(connectToDevice());
        const int ping = probe().pingTimerRemainingMs();
        QVERIFY2(ping > 900 && ping <= 1050, qPrintable(QString::number(ping))); // 5 % slack
        QVERIFY(waitFor([&] { return probe().linkTimerRemainingMs() < 11800; }));
        QVERIFY(step("check")); // 0xAC: a verdict, no keep-alive
        QVERIFY(step("tick"));
        QVERIFY(probe().linkTimerRemainingMs() < 11800);
        QVERIFY(step("alive"));
        QVERIFY(probe().linkTimerRemainingMs() >= 11800);
        QVERIFY(waitFor([&] { return probe().linkTimerRemainingMs() < 11800; }));
        click("pButConnectToggle");
        click("pButConnectToggle");
        QVERIFY(probe().linkTimerRemainingMs() >= 11800);
    }

    // Strangers' datagrams must not crowd the device's replies out of the receive queue: a
    // flood from another local port during an upload (it stalls for good when one is lost).
    void uploadUnderStrangerFlood()
    {
        QVERIFY(connectToDevice());
        const quint16 port = window->findChild<QUdpSocket *>()->localPort();
        const sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        constexpr int Flood = 300000; // or until the upload is over; a stalled one sees it all
        std::atomic<int> sent{0};
        std::thread flood([&] {
            const int stranger = socket(AF_INET, SOCK_DGRAM, 0);
            for (; sent < Flood; ++sent)
                sendto(stranger, "x", 1, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
            close(stranger);
        });
        waitFor([&] { return sent > 1000; });
        const bool uploaded = step("upload");
        sent = Flood;
        flood.join();
        QVERIFY(uploaded);
        QCOMPARE(status(), QString("Connected. Uploading has been completed successful!"));
    }

    void fullUpload()
    {
        struct Op
        {
            Datagram::ParsedCommand command;
            int size, progress;
            QString status;
        };
        QVector<Op> ops; // every command but "Ping", with what the window showed then
        QObject recording;
        connect(device.get(), &FakeDevice::datagramReceived, &recording, [&] {
            const QByteArray &bytes = device->received.last();
            const auto command = Datagram::parseCommand(bytes.constData(), bytes.size());
            if (command && command->name != "Ping")
                ops.append({*command, int(bytes.size()), progress(), status()});
        });
        QVERIFY(connectToDevice());
        QVERIFY(step("upload"));
        QCOMPARE(device->received.first(), QByteArray::fromHex("03010450696E67")); // Ping
        QCOMPARE(ops.size(), Blocks + 2);
        QCOMPARE(ops[0].command.name + ops[0].status,
                 QByteArray("StartConnected. Flash erasing..."));
        QByteArray reassembled;
        int wraps = 0;
        for (int i = 1; i < ops.size(); ++i) {
            QCOMPARE(ops[i].command.type, quint8(CmdRequest));
            QCOMPARE(ops[i].command.name, QByteArray(i <= Blocks ? "Write" : "End"));
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
        QVERIFY(wraps >= 7);
        QVERIFY(reassembled == sampleImage()); // QCOMPARE would print 917504 bytes
        const QString done = "LinkUp Idle 100% [Upload Stop Check StartApp] 'Connected. ";
        QCOMPARE(screen(), done + "Uploading has been completed successful!' allowed");
        const int mark = device->received.size();
        click("pButStop"); // idle: nothing to stop
        click("pButStartApplication");
        click("pButStartApplication");
        QCOMPARE(sentSince(mark), "StartApplication! 11, StartApplication! 12, Ping 12");
        QCOMPARE(screen(), done + "Application should be started.' allowed");
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
