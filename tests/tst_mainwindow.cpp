#include "core/firmwareimage.h"
#include "mainwindow/windowstate.h"
#include "support/fakedevice.h"
#include "support/modalcloser.h"
#include "support/strictmessages.h"
#include "support/windowdriver.h"

#include <QLayout>
#include <QMenuBar>
#include <QMetaMethod>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <memory>

using namespace WindowDriver;

namespace {
// "layout(widget[text] ~h nested(...) ~v ...)": items in layout order, "~h"/"~v" for spacers.
QString describe(QLayout *layout)
{
    QStringList items;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *item = layout->itemAt(i);
        const QWidget *w = item->widget();
        items << (w                ? w->objectName() + '[' + w->property("text").toString() + ']'
                  : item->layout() ? describe(item->layout())
                  : item->expandingDirections() == Qt::Horizontal ? "~h"
                                                                  : "~v");
    }
    return layout->objectName() + '(' + items.join(' ') + ')';
}

// link|IP, port fields|Upload, Stop, Check, Start App|caption|progress|stage, allowed|status
QString mode(const MainWindow &w)
{
    const MainWindowProbe probe(w);
    QString s = QString::number(probe.linkState());
    for (const char *name : {"|", "pLineEditIP", "pLineEditPORT", "|", "pButStartUpload",
                             "pButStop", "pButCheckApplication", "pButStartApplication"})
        s += *name == '|' ? '|' : child<QWidget>(w, name)->isEnabled() ? '1' : '0';
    return s + '|' + button(w, "pButConnectToggle")->text() + '|' + QString::number(progress(w)) +
           '|' + QString::number(probe.uploadStage()) + (probe.startAppAllowed() ? '1' : '0') +
           '|' + status(w);
}
} // namespace

// The window as the operator meets it: form, wiring, endpoint fields and control modes.
class MainWindowTest : public QObject
{
    Q_OBJECT
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<FakeDevice> device;
    QStringList constructionWarnings;

    MainWindowProbe probe() const { return MainWindowProbe(*window); }
    void click(const char *name) { QTest::mouseClick(button(*window, name), Qt::LeftButton); }

    // One operator or device action of a control-mode scenario; false when it did not happen.
    bool step(const QString &name)
    {
        if (name == "connect")
            return connectTo(*window, *device);
        if (name == "point")
            return pointAtLoopback(*window, device->port());
        if (name == "toggle" || name == "check" || name == "stop")
            click(name == "toggle" ? "pButConnectToggle"
                  : name == "stop" ? "pButStop"
                                   : "pButCheckApplication");
        else if (name.startsWith("quiet-")) // quiet-pings, quiet-requests
            (name == "quiet-pings" ? device->answerPings : device->answerRequests) = false;
        else if (name == "mark") // a value no operation sets, so "unchanged" is visible
            child<QProgressBar>(*window, "progressBar")->setValue(37);
        else if (name == "timeout")
            invoke(*window, "slot_timer_timeout");
        else if (name == "check-ok" || name == "check-refused") {
            device->statusFor["Check"] = name == "check-ok" ? ReplyOkCode : 0x01;
            click("pButCheckApplication");
            return QTest::qWaitFor([&] { return probe().uploadStage() == 0; });
        } else if (name == "keepalive") // repeated until the device has learnt the window's port
            return QTest::qWaitFor([&] {
                device->reply(0x42, KeepAliveCode);
                return probe().linkState() == LinkUp;
            });
        else if (name == "mismatch") {
            device->reply(quint8(probe().sequenceNumber() + 1), ReplyOkCode);
            return QTest::qWaitFor([&] { return probe().linkState() == LinkConnecting; });
        } else if (name == "upload") {
            QTemporaryDir dir;
            QFile file(dir.filePath("fw.bin"));
            file.open(QIODevice::WriteOnly);
            file.write(QByteArray(FirmwareImageSize, char(0x5A)));
            file.close();
            lineEdit(*window, "pLineFileName")->setText(file.fileName());
            ModalCloser closer; // a box would mean the file was refused
            click("pButStartUpload");
            return closer.seen.isEmpty();
        } else if (name.contains('=')) { // IP=text, PORT=text; "%port" is the device's port
            const QStringList edit = name.split('=');
            lineEdit(*window, qPrintable("pLineEdit" + edit[0]))
                ->setText(QString(edit[1]).replace("%port", QString::number(device->port())));
            // The fields are disabled while connected, so finish the edit the way Qt would.
            return QMetaObject::invokeMethod(
                window.get(), qPrintable("on_pLineEdit" + edit[0] + "_editingFinished"));
        } else
            return false;
        return true;
    }

private slots:
    void initTestCase() { StrictMessages::install(); }
    void init()
    {
        StrictMessages::take();
        window = std::make_unique<MainWindow>();
        constructionWarnings = StrictMessages::take(); // showing offscreen warns on its own
        device = std::make_unique<FakeDevice>();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
    void cleanup()
    {
        window.reset();
        device.reset();
    }

    // Captions, defaults and layout order; enabled controls and status: the "construction" mode.
    void freshStartShowsFormDefaults()
    {
        QCOMPARE(constructionWarnings, QStringList()); // e.g. no unmatched on_ slot
        QCOMPARE(window->objectName(), QString("MainWindow"));
        QCOMPARE(window->windowTitle(), QString("Bootloader"));
        QVERIFY(!child<QProgressBar>(*window, "progressBar")->isTextVisible());
        QCOMPARE(window->menuBar()->objectName(), QString("menubar"));
        QCOMPARE(window->statusBar()->objectName(), QString("statusbar"));

        QCOMPARE(window->centralWidget()->objectName(), QString("centralwidget"));
        QCOMPARE(describe(window->centralWidget()->layout()),
                 QString("verticalLayout(horizontalLayout_2(~h label_2[IP address] pLineEditIP[") +
                     DefaultDeviceAddress +
                     "] ~h label[Port] pLineEditPORT[31120] ~h pButConnectToggle[Connect]) ~v "
                     "horizontalLayout(label_3[file] pLineFileName[] pButSelectFile[OpenFile...]) "
                     "~v horizontalLayout_3(pButPostBuild[Start postbuild] pButStartUpload[Start "
                     "Upload] pButStop[Stop Upload] pButStartApplication[Start Application] "
                     "pButCheckApplication[Check Application]) ~v progressBar[0%])");
    }

    // The slot table pins order and parameter names; each on_ slot is wired once by name.
    void slotsConnectedOnceByName()
    {
        const QMetaObject *meta = window->metaObject();
        QStringList table;
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            const QMetaMethod slot = meta->method(i);
            const QByteArray signature = slot.methodSignature();
            QVERIFY(slot.methodType() == QMetaMethod::Slot &&
                    slot.access() == QMetaMethod::Private);
            table << QString::fromLatin1(signature + ' ' + slot.parameterNames().join(','));
            if (!signature.startsWith("on_"))
                continue;
            const QList<QByteArray> parts = signature.split('_'); // on, object, signal(args)
            const QObject *sender = child<QObject>(*window, parts.value(1).constData());
            QVERIFY2(sender && parts.size() == 3, signature.constData());
            const int signal = sender->metaObject()->indexOfSignal(parts[2].constData());
            // Removing one connection must leave none: a string disconnect alone would remove
            // all duplicates at once and so could not tell one connection from two.
            QVERIFY2(QMetaObject::disconnectOne(sender, signal, window.get(), i) &&
                         !QObject::disconnect(sender, ("2" + parts[2]).constData(), window.get(),
                                              ("1" + signature).constData()),
                     signature.constData());
        }
        QCOMPARE(table.join(';'),
                 QString("on_pButSelectFile_clicked() ;on_pButPostBuild_clicked() ;"
                         "on_pLineEditPORT_textEdited(QString) arg1;"
                         "on_pLineEditIP_textEdited(QString) arg1;"
                         "on_pLineEditPORT_editingFinished() ;on_pLineEditIP_editingFinished() ;"
                         "on_pButStartUpload_clicked() ;slotUdpRead() ;"
                         "on_pButStartApplication_clicked() ;on_pButCheckApplication_clicked() ;"
                         "on_pButStop_clicked() ;slot_timer_timeout() ;"
                         "slot_ping_timer_timeout() ;on_pButConnectToggle_clicked(bool) checked"));
    }

    void endpointEditing_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("prior"); // an accepted edit before, or empty
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("value");
        const auto row = [](const char *tag, const char *field, const char *typed,
                            const char *shown, const char *value, const char *prior = "") {
            QTest::newRow(tag) << field << prior << typed << shown << value;
        };
        const char *home = DefaultDeviceAddress;
        row("port 4000", "PORT", "4000", "4000", "4000");
        row("empty port refused", "PORT", "", "31120", "31120");
        row("port with letters refused", "PORT", "12ab", "31120", "31120");
        row("negative port refused", "PORT", "-5", "31120", "31120");
        row("port 0 accepted", "PORT", "0", "0", "0");
        row("port 65535 accepted", "PORT", "65535", "65535", "65535");
        row("port 65536 refused", "PORT", "65536", "31120", "31120");
        row("port 99999999 refused", "PORT", "99999999", "31120", "31120");
        row("leading space kept as typed", "PORT", " 80", " 80", "80");
        row("refused port shows current", "PORT", "-5", "4000", "4000", "4000");
        row("part above 255 refused", "IP", "300.1.1.1", home, home);
        row("empty address refused", "IP", "", home, home);
        row("letters refused", "IP", "abc", home, home);
        row("IPv6 loopback", "IP", "::1", "::1", "::1");
        row("non-canonical IPv6 kept as typed", "IP", "0:0:0:0:0:0:0:1", "0:0:0:0:0:0:0:1", "::1");
        row("refused shows current canonically", "IP", "abc", "::1", "::1", "0:0:0:0:0:0:0:1");
    }
    void endpointEditing()
    {
        QFETCH(QString, field);
        QFETCH(QString, prior);
        QLineEdit *line = lineEdit(*window, qPrintable("pLineEdit" + field));
        if (!prior.isEmpty())
            typeInto(line, prior);
        QFETCH(QString, typed);
        typeInto(line, typed);
        QTEST(line->text(), "shown");
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
        QTest::addColumn<QString>("expected"); // see mode()
        const auto row = [](const char *tag, const char *steps, const char *expected) {
            QTest::newRow(tag) << steps << expected;
        };
        row("construction", "", "0|11|0000|Connect|0|00|Disconnected");
        row("Disconnect after a success keeps progress", "connect check-ok mark toggle",
            "0|11|0000|Connect|37|00|Disconnected");
        row("link timer expiring after Disconnect clears progress", "connect mark toggle timeout",
            "0|11|0000|Connect|0|00|Disconnected");
        row("Connect click", "point quiet-pings mark toggle",
            "1|00|0000|Disconnect|37|00|Connecting...");
        row("Connect again before the link timer expired keeps progress",
            "connect mark toggle quiet-pings toggle", "1|00|0000|Disconnect|37|00|Connecting...");
        row("first keep-alive", "point quiet-pings mark toggle keepalive",
            "2|00|1110|Disconnect|37|00|Connected");
        row("sequence mismatch", "connect quiet-pings mark mismatch",
            "1|00|0000|Disconnect|0|00|Connected");
        row("sequence mismatch after a success keeps the flag",
            "connect check-ok quiet-pings mismatch", "1|00|0000|Disconnect|0|01|Connected");
        row("keep-alive after success and mismatch leaves Start Application off",
            "connect check-ok quiet-pings mismatch keepalive",
            "2|00|1110|Disconnect|0|01|Connected");
        row("check success", "connect mark check-ok",
            "2|00|1111|Disconnect|37|01|Connected. Checked successful!");
        row("check refused", "connect check-ok quiet-pings mark check-refused",
            "1|00|0000|Disconnect|0|00|Connected. Application is wrong!");
        row("Stop during a check", "connect quiet-pings quiet-requests check mark stop",
            "1|00|0000|Disconnect|0|00|Connected. Stoping...");
        row("link timeout during a check", "connect quiet-pings quiet-requests check mark timeout",
            "0|11|0000|Connect|0|00|Disconnected");
        row("upload accepted after a success", "connect check-ok quiet-requests mark upload",
            "2|00|0100|Disconnect|0|10|Connected. Flash erasing...");
        row("check started after a success", "connect check-ok quiet-requests mark check",
            "2|00|0100|Disconnect|37|30|Connected. Checking...");
        // An accepted edit may point at another device: a success no longer vouches for it.
        row("address accepted after a success clears it", "connect check-ok mark IP=127.0.0.1",
            "2|00|1110|Disconnect|37|00|Connected. Checked successful!");
        row("same port accepted after a success clears the flag", "connect check-ok PORT=%port",
            "2|00|1110|Disconnect|0|00|Connected. Checked successful!");
        row("refused address after a success keeps the flag", "connect check-ok IP=300.1.1.1",
            "2|00|1111|Disconnect|0|01|Connected. Checked successful!");
        row("refused port after a success keeps the flag", "connect check-ok PORT=abc",
            "2|00|1111|Disconnect|0|01|Connected. Checked successful!");
    }
    void controlModes()
    {
        QFETCH(QString, steps);
        for (const QString &name : steps.split(' ', Qt::SkipEmptyParts))
            QVERIFY2(step(name), qPrintable(name));
        QTEST(mode(*window), "expected");
        for (const char *name :
             {"pButConnectToggle", "pLineFileName", "pButSelectFile", "pButPostBuild"})
            QVERIFY2(child<QWidget>(*window, name)->isEnabled(), name);
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
