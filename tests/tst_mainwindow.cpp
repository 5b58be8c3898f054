#include "image/firmwarefile.h"
#include "image/firmwareimage.h"
#include "link/linkstate.h"
#include "support/fakedevice.h"
#include "support/modalcloser.h"
#include "support/strictmessages.h"
#include "support/windowdriver.h"

#include <QDialog>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMetaMethod>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <memory>

using namespace WindowDriver;

namespace {
// One line per layout item: a widget's or layout's object name, "~h"/"~v" for a spacer.
QStringList describe(const QLayout *layout)
{
    QStringList items;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *item = layout->itemAt(i);
        if (item->widget())
            items << item->widget()->objectName();
        else if (item->layout())
            items << item->layout()->objectName();
        else if (item->spacerItem())
            items << (item->expandingDirections() == Qt::Horizontal ? "~h" : "~v");
    }
    return items;
}
} // namespace

// The window as the operator meets it: form, wiring, endpoint fields and control modes.
class MainWindowTest : public QObject
{
    Q_OBJECT
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<FakeDevice> device;
    QTemporaryDir dir;
    QStringList constructionWarnings;

    MainWindowProbe probe() const { return MainWindowProbe(*window); }
    void click(const char *name) { QTest::mouseClick(button(*window, name), Qt::LeftButton); }
    bool waitFor(std::function<bool()> condition) { return QTest::qWaitFor(condition, 5000); }
    bool waitStatus(const QString &text)
    {
        return waitFor([&] { return status(*window) == text; });
    }

    // One operator or device action of a control-mode scenario; false when it did not happen.
    bool step(const QString &name)
    {
        if (name == "connect")
            return connectTo(*window, *device);
        if (name == "point")
            return pointAtLoopback(*window, device->port());
        if (name == "quiet-pings")
            device->answerPings = false;
        else if (name == "quiet-requests")
            device->answerRequests = false;
        else if (name == "mark") // a value no operation sets, so "unchanged" is visible
            child<QProgressBar>(*window, "progressBar")->setValue(37);
        else if (name == "toggle")
            click("pButConnectToggle");
        else if (name == "check")
            click("pButCheckApplication");
        else if (name == "stop")
            click("pButStop");
        else if (name == "timeout")
            invoke(*window, "slot_timer_timeout");
        else if (name == "check-ok" || name == "check-refused") {
            device->statusFor["Check"] = name == "check-ok" ? ReplyOkCode : 0x01;
            click("pButCheckApplication");
            return waitStatus(name == "check-ok" ? "Connected. Checked successful!"
                                                 : "Connected. Application is wrong!");
        } else if (name == "keepalive") {
            // The device answers the sender of its last datagram, so it must have seen one.
            if (!waitFor([&] { return !device->received.isEmpty(); }))
                return false;
            device->reply(0x42, KeepAliveCode);
            return waitFor([&] { return probe().linkState() == LinkUp; });
        } else if (name == "mismatch") {
            device->reply(quint8(probe().sequenceNumber() + 1), ReplyOkCode);
            return waitFor([&] { return probe().linkState() == LinkConnecting; });
        } else if (name == "upload") {
            QFile file(dir.filePath("fw.bin"));
            if (!file.open(QIODevice::WriteOnly) ||
                file.write(QByteArray(FirmwareImageSize, char(0x5A))) != FirmwareImageSize)
                return false;
            file.close();
            lineEdit(*window, "pLineFileName")->setText(file.fileName());
            ModalCloser closer;
            click("pButStartUpload");
            return closer.seen.isEmpty() && probe().uploadStage() == StageErasing;
        } else if (name == "address") {
            // The fields are disabled while connected, so finish the edit the way Qt would.
            lineEdit(*window, "pLineEditIP")->setText("127.0.0.1");
            invoke(*window, "on_pLineEditIP_editingFinished");
        } else
            return false;
        return true;
    }

private slots:
    void initTestCase()
    {
        StrictMessages::install();
        QVERIFY(dir.isValid());
    }
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

    void freshStartShowsFormDefaults()
    {
        QCOMPARE(constructionWarnings, QStringList()); // e.g. no unmatched on_ slot
        QCOMPARE(window->objectName(), QString("MainWindow"));
        QCOMPARE(window->windowTitle(), QString("Bootloader"));
        const QVector<QPair<const char *, const char *>> captions = {
            {"label_2", "IP address"},
            {"label", "Port"},
            {"label_3", "file"},
            {"pButConnectToggle", "Connect"},
            {"pButSelectFile", "OpenFile..."},
            {"pButPostBuild", "Start postbuild"},
            {"pButStartUpload", "Start Upload"},
            {"pButStop", "Stop Upload"},
            {"pButStartApplication", "Start Application"},
            {"pButCheckApplication", "Check Application"}};
        for (const auto &caption : captions) {
            const QWidget *widget = child<QWidget>(*window, caption.first);
            QVERIFY2(widget, caption.first);
            const auto *label = qobject_cast<const QLabel *>(widget);
            const QString text =
                label ? label->text() : qobject_cast<const QPushButton *>(widget)->text();
            QCOMPARE(text, QString(caption.second));
        }
        QCOMPARE(lineEdit(*window, "pLineEditIP")->text(), QString(DefaultDeviceAddress));
        QCOMPARE(lineEdit(*window, "pLineEditPORT")->text(), QString("31120"));
        QCOMPARE(lineEdit(*window, "pLineFileName")->text(), QString());
        QCOMPARE(status(*window), QString("Disconnected"));
        QCOMPARE(progress(*window), 0);
        QVERIFY(!child<QProgressBar>(*window, "progressBar")->isTextVisible());
        for (const char *name : {"pButConnectToggle", "pButSelectFile", "pButPostBuild",
                                 "pLineEditIP", "pLineEditPORT", "pLineFileName"})
            QVERIFY2(child<QWidget>(*window, name)->isEnabled(), name);
        for (const char *name :
             {"pButStartUpload", "pButStop", "pButStartApplication", "pButCheckApplication"})
            QVERIFY2(!child<QWidget>(*window, name)->isEnabled(), name);
        QCOMPARE(window->menuBar()->objectName(), QString("menubar"));
        QVERIFY(window->menuBar()->actions().isEmpty());
        QVERIFY(window->findChildren<QMenu *>().isEmpty());
        QCOMPARE(window->statusBar()->objectName(), QString("statusbar"));
    }

    void layoutOrder()
    {
        QCOMPARE(window->centralWidget()->objectName(), QString("centralwidget"));
        const QLayout *main = window->centralWidget()->layout();
        QCOMPARE(main->objectName(), QString("verticalLayout"));
        QCOMPARE(describe(main), QStringList({"horizontalLayout_2", "~v", "horizontalLayout", "~v",
                                              "horizontalLayout_3", "~v", "progressBar"}));
        QCOMPARE(describe(main->itemAt(0)->layout()),
                 QStringList({"~h", "label_2", "pLineEditIP", "~h", "label", "pLineEditPORT", "~h",
                              "pButConnectToggle"}));
        QCOMPARE(describe(main->itemAt(2)->layout()),
                 QStringList({"label_3", "pLineFileName", "pButSelectFile"}));
        QCOMPARE(describe(main->itemAt(4)->layout()),
                 QStringList({"pButPostBuild", "pButStartUpload", "pButStop",
                              "pButStartApplication", "pButCheckApplication"}));
    }

    void slotConnectedOnceByName_data()
    {
        QTest::addColumn<QString>("object");
        QTest::addColumn<QByteArray>("signal");
        QTest::addColumn<QByteArray>("slot");
        const auto row = [](const char *object, const char *signal, const char *slot) {
            QTest::newRow(slot + 1) << QString(object) << QByteArray(signal) << QByteArray(slot);
        };
        row("pButSelectFile", SIGNAL(clicked()), SLOT(on_pButSelectFile_clicked()));
        row("pButPostBuild", SIGNAL(clicked()), SLOT(on_pButPostBuild_clicked()));
        row("pLineEditPORT", SIGNAL(textEdited(QString)),
            SLOT(on_pLineEditPORT_textEdited(QString)));
        row("pLineEditIP", SIGNAL(textEdited(QString)), SLOT(on_pLineEditIP_textEdited(QString)));
        row("pLineEditPORT", SIGNAL(editingFinished()), SLOT(on_pLineEditPORT_editingFinished()));
        row("pLineEditIP", SIGNAL(editingFinished()), SLOT(on_pLineEditIP_editingFinished()));
        row("pButStartUpload", SIGNAL(clicked()), SLOT(on_pButStartUpload_clicked()));
        row("pButStartApplication", SIGNAL(clicked()), SLOT(on_pButStartApplication_clicked()));
        row("pButCheckApplication", SIGNAL(clicked()), SLOT(on_pButCheckApplication_clicked()));
        row("pButStop", SIGNAL(clicked()), SLOT(on_pButStop_clicked()));
        row("pButConnectToggle", SIGNAL(clicked(bool)), SLOT(on_pButConnectToggle_clicked(bool)));
    }
    void slotConnectedOnceByName()
    {
        QFETCH(QString, object);
        QFETCH(QByteArray, signal);
        QFETCH(QByteArray, slot);
        const QObject *sender = child<QObject>(*window, object.toLatin1().constData());
        QVERIFY(sender);
        const int signalIndex = sender->metaObject()->indexOfSignal(signal.constData() + 1);
        const int slotIndex = window->metaObject()->indexOfSlot(slot.constData() + 1);
        QVERIFY(signalIndex >= 0 && slotIndex >= 0);
        // Removing one connection must leave none: a string disconnect alone would remove all
        // duplicates at once and so could not tell one connection from two.
        QVERIFY(QMetaObject::disconnectOne(sender, signalIndex, window.get(), slotIndex));
        QVERIFY(!QObject::disconnect(sender, signal.constData(), window.get(), slot.constData()));
    }

    void oneClickOneReaction_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("connected");
        QTest::addColumn<int>("dialogs");
        QTest::newRow("OpenFile... opens one file dialog") << "pButSelectFile" << false << 1;
        QTest::newRow("Start postbuild shows one box") << "pButPostBuild" << false << 0;
        QTest::newRow("Start Upload shows one box") << "pButStartUpload" << true << 0;
    }
    void oneClickOneReaction()
    {
        QFETCH(QString, button);
        QFETCH(bool, connected);
        QFETCH(int, dialogs);
        if (connected)
            QVERIFY(connectTo(*window, *device));
        int dialogsSeen = 0;
        ModalCloser closer([&](QWidget *modal) {
            ++dialogsSeen;
            qobject_cast<QDialog *>(modal)->reject();
        });
        click(button.toLatin1().constData());
        QCOMPARE(dialogsSeen, dialogs);
        QCOMPARE(closer.seen.size(), 1 - dialogs);
        if (dialogs == 0) {
            QCOMPARE(closer.seen[0].text, QString(FirmwareMessages::SelectFile));
            QCOMPARE(closer.seen[0].icon, QMessageBox::Warning);
            QVERIFY(!closer.seen[0].hadParent);
        }
    }

    void metaObjectSlotTable()
    {
        const QMetaObject *meta = window->metaObject();
        QCOMPARE(meta->className(), "MainWindow");
        QStringList table;
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            const QMetaMethod method = meta->method(i);
            QCOMPARE(method.methodType(), QMetaMethod::Slot);
            QCOMPARE(method.access(), QMetaMethod::Private);
            table << QString::fromLatin1(method.methodSignature() + ' ' +
                                         method.parameterNames().join(','));
        }
        QCOMPARE(table,
                 QStringList({"on_pButSelectFile_clicked() ", "on_pButPostBuild_clicked() ",
                              "on_pLineEditPORT_textEdited(QString) arg1",
                              "on_pLineEditIP_textEdited(QString) arg1",
                              "on_pLineEditPORT_editingFinished() ",
                              "on_pLineEditIP_editingFinished() ", "on_pButStartUpload_clicked() ",
                              "slotUdpRead() ", "on_pButStartApplication_clicked() ",
                              "on_pButCheckApplication_clicked() ", "on_pButStop_clicked() ",
                              "slot_timer_timeout() ", "slot_ping_timer_timeout() ",
                              "on_pButConnectToggle_clicked(bool) checked"}));
    }

    void endpointEditing_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("prior"); // an accepted edit before, or empty
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("value");
        const QString port = "pLineEditPORT", ip = "pLineEditIP", home = DefaultDeviceAddress;
        QTest::newRow("port 4000") << port << ""
                                   << "4000"
                                   << "4000"
                                   << "4000";
        QTest::newRow("empty port refused") << port << ""
                                            << ""
                                            << "31120"
                                            << "31120";
        QTest::newRow("port with letters refused") << port << ""
                                                   << "12ab"
                                                   << "31120"
                                                   << "31120";
        QTest::newRow("negative port refused") << port << ""
                                               << "-5"
                                               << "31120"
                                               << "31120";
        QTest::newRow("port 0 accepted") << port << ""
                                         << "0"
                                         << "0"
                                         << "0";
        QTest::newRow("port 65535 accepted") << port << ""
                                             << "65535"
                                             << "65535"
                                             << "65535";
        QTest::newRow("port 65536 refused") << port << ""
                                            << "65536"
                                            << "31120"
                                            << "31120";
        QTest::newRow("port 99999999 refused") << port << ""
                                               << "99999999"
                                               << "31120"
                                               << "31120";
        QTest::newRow("leading space kept as typed") << port << ""
                                                     << " 80"
                                                     << " 80"
                                                     << "80";
        QTest::newRow("plus sign kept as typed") << port << ""
                                                 << "+80"
                                                 << "+80"
                                                 << "80";
        QTest::newRow("refused port shows current") << port << "4000"
                                                    << "-5"
                                                    << "4000"
                                                    << "4000";
        QTest::newRow("too big shows current") << port << "4000"
                                               << "65536"
                                               << "4000"
                                               << "4000";
        QTest::newRow("IPv4 loopback") << ip << ""
                                       << "127.0.0.1"
                                       << "127.0.0.1"
                                       << "127.0.0.1";
        QTest::newRow("part above 255 refused") << ip << ""
                                                << "300.1.1.1" << home << home;
        QTest::newRow("empty address refused") << ip << ""
                                               << "" << home << home;
        QTest::newRow("letters refused") << ip << ""
                                         << "abc" << home << home;
        QTest::newRow("IPv6 loopback") << ip << ""
                                       << "::1"
                                       << "::1"
                                       << "::1";
        QTest::newRow("non-canonical IPv6 kept as typed") << ip << ""
                                                          << "0:0:0:0:0:0:0:1"
                                                          << "0:0:0:0:0:0:0:1"
                                                          << "::1";
        QTest::newRow("v4-mapped loopback") << ip << ""
                                            << "::ffff:127.0.0.1"
                                            << "::ffff:127.0.0.1"
                                            << "::ffff:127.0.0.1";
        QTest::newRow("refused address shows current") << ip << "127.0.0.1"
                                                       << "300.1.1.1"
                                                       << "127.0.0.1"
                                                       << "127.0.0.1";
        QTest::newRow("refused shows current canonically") << ip << "0:0:0:0:0:0:0:1"
                                                           << "abc"
                                                           << "::1"
                                                           << "::1";
    }
    void endpointEditing()
    {
        QFETCH(QString, field);
        QFETCH(QString, prior);
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        QFETCH(QString, value);
        QLineEdit *edit = lineEdit(*window, field.toLatin1().constData());
        if (!prior.isEmpty())
            typeInto(edit, prior);
        typeInto(edit, typed);
        QCOMPARE(edit->text(), shown);
        if (field == "pLineEditPORT")
            QCOMPARE(probe().endpoint().port, value.toInt());
        else
            QCOMPARE(probe().endpoint().address, QHostAddress(value));
        QVERIFY(!probe().startAppAllowed());
        // Nothing was sent: the first send would have bound the socket and advanced the counter.
        QCOMPARE(window->findChild<QUdpSocket *>()->localPort(), quint16(0));
        QCOMPARE(probe().sequenceNumber(), 0);
    }

    void endpointEditAfterCheck_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text"); // "%port" stands for the fake device's port
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("same port accepted again clears") << "pLineEditPORT"
                                                         << "%port"
                                                         << "%port" << false;
        QTest::newRow("refused port keeps") << "pLineEditPORT"
                                            << "abc"
                                            << "%port" << true;
        QTest::newRow("address accepted clears") << "pLineEditIP"
                                                 << "127.0.0.1"
                                                 << "127.0.0.1" << false;
        QTest::newRow("refused address keeps") << "pLineEditIP"
                                               << "300.1.1.1"
                                               << "127.0.0.1" << true;
    }
    void endpointEditAfterCheck()
    {
        QFETCH(QString, field);
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QFETCH(bool, allowed);
        const QString port = QString::number(device->port());
        QVERIFY(step("connect"));
        QVERIFY(step("check-ok"));
        QVERIFY(probe().startAppAllowed());
        QVERIFY(button(*window, "pButStartApplication")->isEnabled());
        QLineEdit *edit = lineEdit(*window, field.toLatin1().constData());
        QVERIFY(!edit->isEnabled());
        edit->setText(text.replace("%port", port));
        invoke(*window, QByteArray("on_" + field.toLatin1() + "_editingFinished").constData());
        QCOMPARE(edit->text(), shown.replace("%port", port));
        QCOMPARE(probe().startAppAllowed(), allowed);
        QCOMPARE(button(*window, "pButStartApplication")->isEnabled(), allowed);
        QCOMPARE(probe().endpoint().address, QHostAddress(QHostAddress::LocalHost));
        QCOMPARE(probe().endpoint().port, int(device->port()));
    }

    void controlModes_data()
    {
        QTest::addColumn<QString>("steps"); // the last step is the one whose result is checked
        QTest::addColumn<bool>("fields");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<bool>("upload");
        QTest::addColumn<bool>("stop");
        QTest::addColumn<bool>("startApp");
        QTest::addColumn<bool>("check");
        QTest::addColumn<int>("progress"); // -1: unchanged by the last step
        QTest::addColumn<int>("link");
        QTest::addColumn<int>("stage");
        QTest::addColumn<bool>("allowed");
        QTest::addColumn<QString>("status");
        const QString on = "Connect", off = "Disconnect", ok = "Connected. Checked successful!";
        QTest::newRow("construction") << "" << true << on << false << false << false << false << 0
                                      << int(LinkDown) << 0 << false << "Disconnected";
        QTest::newRow("Disconnect after a success keeps progress")
            << "connect check-ok mark toggle" << true << on << false << false << false << false
            << -1 << int(LinkDown) << 0 << false << "Disconnected";
        QTest::newRow("link timer expiring after Disconnect clears progress")
            << "connect mark toggle timeout" << true << on << false << false << false << false << 0
            << int(LinkDown) << 0 << false << "Disconnected";
        QTest::newRow("Connect click")
            << "point quiet-pings mark toggle" << false << off << false << false << false << false
            << -1 << int(LinkConnecting) << 0 << false << "Connecting...";
        QTest::newRow("Connect again before the link timer expired keeps progress")
            << "connect mark toggle quiet-pings toggle" << false << off << false << false << false
            << false << -1 << int(LinkConnecting) << 0 << false << "Connecting...";
        QTest::newRow("first keep-alive")
            << "point quiet-pings mark toggle keepalive" << false << off << true << true << false
            << true << -1 << int(LinkUp) << 0 << false << "Connected";
        QTest::newRow("sequence mismatch")
            << "connect quiet-pings mark mismatch" << false << off << false << false << false
            << false << 0 << int(LinkConnecting) << 0 << false << "Connected";
        QTest::newRow("sequence mismatch after a success keeps the flag")
            << "connect check-ok quiet-pings mismatch" << false << off << false << false << false
            << false << 0 << int(LinkConnecting) << 0 << true << "Connected";
        QTest::newRow("keep-alive after success and mismatch leaves Start Application off")
            << "connect check-ok quiet-pings mismatch keepalive" << false << off << true << true
            << false << true << -1 << int(LinkUp) << 0 << true << "Connected";
        QTest::newRow("check success") << "connect mark check-ok" << false << off << true << true
                                       << true << true << -1 << int(LinkUp) << 0 << true << ok;
        QTest::newRow("check refused")
            << "connect check-ok quiet-pings mark check-refused" << false << off << false << false
            << false << false << 0 << int(LinkConnecting) << 0 << false
            << "Connected. Application is wrong!";
        QTest::newRow("Stop during a check")
            << "connect quiet-pings quiet-requests check mark stop" << false << off << false
            << false << false << false << 0 << int(LinkConnecting) << 0 << false
            << "Connected. Stoping...";
        QTest::newRow("link timeout during a check")
            << "connect quiet-pings quiet-requests check mark timeout" << true << on << false
            << false << false << false << 0 << int(LinkDown) << 0 << false << "Disconnected";
        QTest::newRow("upload accepted after a success")
            << "connect check-ok quiet-requests mark upload" << false << off << false << true
            << false << false << 0 << int(LinkUp) << int(StageErasing) << false
            << "Connected. Flash erasing...";
        QTest::newRow("check started after a success")
            << "connect check-ok quiet-requests mark check" << false << off << false << true
            << false << false << -1 << int(LinkUp) << int(StageChecking) << false
            << "Connected. Checking...";
        QTest::newRow("address accepted after a success")
            << "connect check-ok mark address" << false << off << true << true << false << true
            << -1 << int(LinkUp) << 0 << false << ok;
    }
    void controlModes()
    {
        QFETCH(QString, steps);
        QFETCH(int, progress);
        int before = 0;
        for (const QString &name : steps.split(' ', Qt::SkipEmptyParts)) {
            before = WindowDriver::progress(*window);
            QVERIFY2(step(name), qPrintable(name));
        }
        QFETCH(bool, fields);
        QCOMPARE(lineEdit(*window, "pLineEditIP")->isEnabled(), fields);
        QCOMPARE(lineEdit(*window, "pLineEditPORT")->isEnabled(), fields);
        QTEST(button(*window, "pButConnectToggle")->text(), "caption");
        QVERIFY(button(*window, "pButConnectToggle")->isEnabled());
        QTEST(button(*window, "pButStartUpload")->isEnabled(), "upload");
        QTEST(button(*window, "pButStop")->isEnabled(), "stop");
        QTEST(button(*window, "pButStartApplication")->isEnabled(), "startApp");
        QTEST(button(*window, "pButCheckApplication")->isEnabled(), "check");
        QCOMPARE(WindowDriver::progress(*window), progress < 0 ? before : progress);
        QTEST(probe().linkState(), "link");
        QTEST(probe().uploadStage(), "stage");
        QTEST(probe().startAppAllowed(), "allowed");
        QTEST(status(*window), "status");
        // Never disabled by any mode.
        for (const char *name : {"pLineFileName", "pButSelectFile", "pButPostBuild"})
            QVERIFY2(child<QWidget>(*window, name)->isEnabled(), name);
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
