#include "core/flashprocedure.h"
#include "core/firmwarefile.h"
#include "core/firmwareimage.h"
#include "mainwindow/windowstate.h"
#include "support/fakedevice.h"
#include "support/strictmessages.h"
#include "support/windowdriver.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>

using namespace WindowDriver;

namespace {
constexpr int Blocks = FirmwareImageSize / WriteBlockSize; // 1792
constexpr int All = 1 << 20;
constexpr quint8 Refused = 0x01;
const char *const Actions[] = {"pButStartUpload", "pButStop", "pButCheckApplication",
                               "pButStartApplication"};
const QString Error = "Connected. Uploaded with error :(";
const QString Stopping = "Connected. Stoping...";

// Every block differs, so a block sent twice or out of order shows.
QByteArray sampleImage(int seed)
{
    QByteArray image(FirmwareImageSize, 0);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char((i * 31 + seed) ^ (i >> 9));
    return image;
}

// A command as the device received it, with what the window showed at that moment: the window
// has by then finished handling the reply (or click) that made it send the command.
struct Op
{
    Datagram::ParsedCommand command;
    int size, progress;
    QString status;
};

enum Fault { Stop, WrongSequence, Duplicate, Refuse, Pass };
constexpr int CheckAfterUpload = -1, CheckAlone = -2; // instead of acknowledged commands
} // namespace

// Upload, check, start application and stop as the device and the operator see them.
class OperationsTest : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    std::unique_ptr<FakeDevice> device;
    std::unique_ptr<MainWindow> window;
    QVector<Op> ops;     // every command but the periodic "Ping"
    int answerLimit = 0; // the fake answers requests while `ops` holds fewer commands

    MainWindowProbe probe() const { return MainWindowProbe(*window); }
    void click(const char *name) { QTest::mouseClick(button(*window, name), Qt::LeftButton); }
    bool enabled(const char *name) const { return button(*window, name)->isEnabled(); }

    bool setFile(const QByteArray &bytes)
    {
        QFile file(dir.filePath("f.bin"));
        lineEdit(*window, "pLineFileName")->setText(file.fileName());
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }

    void record()
    {
        const QByteArray &bytes = device->received.last();
        const auto command = Datagram::parseCommand(bytes.constData(), bytes.size());
        if (command && command->name != "Ping")
            ops.append({*command, bytes.size(), progress(*window), status(*window)});
        device->answerRequests = ops.size() < answerLimit;
    }

    QStringList sentSince(int mark) const // "name type"
    {
        QStringList sent;
        for (int i = mark; i < ops.size(); ++i)
            sent << QString("%1 %2").arg(QString(ops[i].command.name)).arg(ops[i].command.type);
        return sent;
    }

    // QTest's waits sleep between event passes, which would stretch an upload past the 12 s
    // link timeout; a running event loop keeps lock-step exchanges at loopback speed.
    static bool waitFor(const std::function<bool()> &done, int timeoutMs = 5000)
    {
        QEventLoop loop;
        QTimer poll;
        connect(&poll, &QTimer::timeout, &loop, [&] { done() ? loop.quit() : void(); });
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        poll.start(5);
        loop.exec();
        return done();
    }

    // Starts an upload whose next `answered` commands the fake acknowledges; the one after that
    // stays outstanding. With All, waits for the upload's end.
    bool upload(const QByteArray &image, int answered = All)
    {
        answerLimit = ops.size() + answered;
        device->answerRequests = answered > 0;
        if (!setFile(image))
            return false;
        click("pButStartUpload");
        if (answered == All)
            return waitFor([&] { return probe().uploadStage() == StageIdle; }, 20000);
        return waitFor([&] { return ops.size() == answerLimit + 1; });
    }

private slots:
    void initTestCase() { StrictMessages::install(); }

    void init()
    {
        ops.clear();
        answerLimit = All;
        device = std::make_unique<FakeDevice>();
        connect(device.get(), &FakeDevice::datagramReceived, this, &OperationsTest::record);
        window = std::make_unique<MainWindow>();
        QVERIFY(connectTo(*window, *device));
        // Keep-alives would restore "Connected" at the next 1 s tick and race the assertions.
        device->answerPings = false;
    }

    void cleanup()
    {
        window.reset();
        device.reset();
        QCOMPARE(StrictMessages::take(), QStringList());
    }

    void fullUpload()
    {
        const QByteArray image = sampleImage(7);
        QVERIFY(upload(image));
        QCOMPARE(ops[0].status, QString("Connected. Flash erasing..."));
        QCOMPARE(sentSince(0), QStringList("Start 3") +
                                   QVector<QString>(Blocks, "Write 3").toList() +
                                   QStringList("End 3"));
        QByteArray reassembled;
        const QString Uploading = "Connected. Uploading...";
        int wraps = 0;
        for (int i = 1; i < ops.size(); ++i) {
            // Each command takes the next number: 255 is followed by 1, never 0.
            const quint8 previous = ops[i - 1].command.sequence;
            QCOMPARE(ops[i].command.sequence, quint8(previous == 255 ? 1 : previous + 1));
            wraps += previous == 255;
            // After acknowledging command i - 1; 100 when "End" goes out.
            QCOMPARE(ops[i].progress, (i - 1) * 100 / Blocks);
            QCOMPARE(ops[i].size, i <= Blocks ? 520 : 6);
            QCOMPARE(ops[i].status, i <= Blocks ? Uploading : QString("Connected. Checking..."));
            reassembled += ops[i].command.payload;
        }
        QVERIFY(wraps >= 7);
        QVERIFY(reassembled == image);
        QCOMPARE(ops[18].progress, 0); // 17 blocks acknowledged
        QCOMPARE(ops[19].progress, 1);
        QVERIFY(enabled("pButStartApplication") && enabled("pButStartUpload"));
        click("pButStop"); // idle: nothing to stop
        QTest::qWait(100);
        QCOMPARE(ops.size(), Blocks + 2);
        QCOMPARE(status(*window), QString("Connected. Uploading has been completed successful!"));
        QCOMPARE(progress(*window), 100);
        for (int clicks = 1; clicks <= 2; ++clicks) {
            click("pButStartApplication");
            QTRY_COMPARE(sentSince(Blocks + 1 + clicks), QStringList{"StartApplication 1"});
            QVERIFY(enabled("pButStartApplication"));
            QCOMPARE(status(*window), QString("Connected. Application should be started."));
        }

        // A failed start whose box stays open until a ping brings the link back, then an upload
        // that starts from offset 0 again. A stray reply leaves the link waiting for a keep-alive.
        QVERIFY(setFile(QByteArray(10, 'x')));
        device->reply(quint8(probe().sequenceNumber() % 255 + 1), ReplyOkCode);
        QVERIFY(waitFor([&] { return probe().linkState() == LinkConnecting; }));
        device->answerPings = true;
        const int pings = device->count("Ping");
        bool aliveWhileOpen = false;
        int polls = 0;
        QTimer closer;
        connect(&closer, &QTimer::timeout, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            aliveWhileOpen = box && box->text() == FirmwareMessages::WrongSize &&
                             device->count("Ping") > pings && probe().linkState() == LinkUp;
            if (box && (aliveWhileOpen || ++polls > 500))
                box->done(QMessageBox::Ok);
        });
        closer.start(10);
        invoke(*window, "on_pButStartUpload_clicked"); // the button is off while connecting
        QVERIFY(aliveWhileOpen);
        QVERIFY(probe().firmwareData().isEmpty());
        QCOMPARE(probe().uploadStage(), int(StageIdle));
        QCOMPARE(status(*window), QString("Connected"));
        QVERIFY(upload(image, 1));
        QVERIFY(ops.last().command.payload == image.left(WriteBlockSize));
    }

    void busyOperationEnds_data()
    {
        QTest::addColumn<int>("answered"); // commands acknowledged before
        QTest::addColumn<int>("fault");
        QTest::addColumn<QStringList>("sent"); // by the window afterwards
        QTest::addColumn<QString>("verdict");
        const QStringList end{"End 1"}, none;
        const QString passed = "Connected. Checked successful!";
        const int writing = 41, finishing = 1 + Blocks;
        QTest::newRow("Stop erasing, late reply") << 0 << int(Stop) << end << Stopping;
        QTest::newRow("reply dropped while writing, Stop, late reply")
            << writing << int(Stop) << end << Stopping;
        QTest::newRow("Stop finishing, late reply") << finishing << int(Stop) << end << Stopping;
        QTest::newRow("Stop checking, late reply")
            << CheckAfterUpload << int(Stop) << end << Stopping;
        QTest::newRow("wrong sequence") << writing << int(WrongSequence) << end << "Connected";
        QTest::newRow("duplicated reply")
            << writing << int(Duplicate) << QStringList{"Write 3", "End 1"} << "Connected";
        QTest::newRow("Start refused") << 0 << int(Refuse) << none << Error;
        QTest::newRow("Write refused") << writing << int(Refuse) << none << Error;
        QTest::newRow("End refused") << finishing << int(Refuse) << none << Error;
        QTest::newRow("Check refused after an upload")
            << CheckAfterUpload << int(Refuse) << none << "Connected. Application is wrong!";
        QTest::newRow("Check passes, progress stays 0")
            << CheckAlone << int(Pass) << none << passed;
        QTest::newRow("Check passes after an upload, progress stays 100")
            << CheckAfterUpload << int(Pass) << none << passed;
    }
    void busyOperationEnds()
    {
        QFETCH(int, answered);
        QFETCH(int, fault);
        QFETCH(QStringList, sent);
        QFETCH(QString, verdict);
        if (answered < 0) {
            QVERIFY(answered == CheckAlone || upload(sampleImage(1)));
            answerLimit = 0;
            device->answerRequests = false;
            click("pButCheckApplication");
            QVERIFY(waitFor([&] { return !ops.isEmpty() && ops.last().command.name == "Check"; }));
        } else {
            QVERIFY(upload(sampleImage(answered), answered));
        }
        const int stage = probe().uploadStage(); // as the row's name says
        QVERIFY(stage != StageIdle);
        for (int i = 0; i < 4; ++i) // only Stop while busy
            QVERIFY2(enabled(Actions[i]) == (i == 1), Actions[i]);
        QVERIFY(stage != StageWriting || progress(*window) > 0); // so its reset shows
        const quint8 outstanding = ops.last().command.sequence;
        const int mark = ops.size();
        if (fault == Stop) {
            QTest::qWait(200); // without a reply the window waits
            QCOMPARE(probe().uploadStage(), stage);
            click("pButStop");
            QCOMPARE(status(*window), verdict);
            QCOMPARE(progress(*window), 0); // before the late reply also resets it
        }                                   // then the device's (late) reply
        device->reply(fault == WrongSequence ? quint8(outstanding % 255 + 1) : outstanding,
                      fault == Refuse ? Refused : ReplyOkCode);
        if (fault == Duplicate)
            device->reply(outstanding, ReplyOkCode);
        QTest::qWait(100);
        QTRY_COMPARE(sentSince(mark), sent);
        QCOMPARE(probe().uploadStage(), int(StageIdle));
        QCOMPARE(status(*window), verdict);
        const bool passes = fault == Pass;
        QCOMPARE(progress(*window), passes && answered == CheckAfterUpload ? 100 : 0);
        QCOMPARE(probe().startAppAllowed(), passes);
        for (const char *name : Actions)
            QVERIFY2(enabled(name) == passes, name);

        device->answerPings = true;
        invoke(*window, "slot_ping_timer_timeout");
        QTRY_COMPARE(probe().linkState(), int(LinkUp));
        QTest::qWait(100); // when the link was up already, the keep-alive must change nothing
        QCOMPARE(status(*window), passes ? verdict : QString("Connected"));
        for (int i = 0; i < 4; ++i) // Start Application only after a success
            QVERIFY2(enabled(Actions[i]) == (i < 3 || passes), Actions[i]);
    }

    void operationsIgnoredWhileLinkDown()
    {
        QVERIFY(setFile(sampleImage(3)));
        click("pButConnectToggle");
        QCOMPARE(probe().linkState(), int(LinkDown));
        const int mark = device->received.size();
        for (const char *slot : {"on_pButStartUpload_clicked", "on_pButCheckApplication_clicked",
                                 "on_pButStartApplication_clicked", "on_pButStop_clicked"})
            invoke(*window, slot);
        QTest::qWait(100);
        QCOMPARE(device->received.size(), mark);
        QCOMPARE(status(*window), QString("Disconnected"));
    }
};

QTEST_MAIN(OperationsTest)
#include "tst_operations.moc"
