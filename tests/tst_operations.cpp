#include "flash/operationevents.h"
#include "image/firmwarefile.h"
#include "image/firmwareimage.h"
#include "link/linkstate.h"
#include "support/fakedevice.h"
#include "support/modalcloser.h"
#include "support/strictmessages.h"
#include "support/windowdriver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>

using namespace WindowDriver;

namespace {
constexpr int Blocks = FirmwareImageSize / WriteBlockSize; // 1792
constexpr quint8 Refused = 0x01;

// An image whose blocks all differ, so a block sent twice or out of order shows.
QByteArray sampleImage(int seed)
{
    QByteArray raw(FirmwareBodySize, 0);
    for (int i = 0; i < raw.size(); ++i)
        raw[i] = char((i * 31 + seed) ^ (i >> 9));
    return buildFirmwareImage(raw);
}
} // namespace

// Upload, check, start application and stop as the device and the operator see them.
class OperationsTest : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    std::unique_ptr<FakeDevice> device;
    std::unique_ptr<MainWindow> window;

    MainWindowProbe probe() const { return MainWindowProbe(*window); }
    void click(const char *name) { QTest::mouseClick(button(*window, name), Qt::LeftButton); }
    bool enabled(const char *name) const { return button(*window, name)->isEnabled(); }

    QString writeFile(const QString &name, const QByteArray &bytes)
    {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return QString();
        return file.fileName();
    }

    // Runs the event loop until `done` holds: checked at every datagram the fake receives, so
    // a lock-step exchange runs at loopback speed, and every few ms for window-only changes.
    bool waitFor(const std::function<bool()> &done, int timeoutMs = 5000)
    {
        if (done())
            return true;
        QEventLoop loop;
        QTimer poll;
        QElapsedTimer clock;
        clock.start();
        const auto check = [&] {
            if (done() || clock.hasExpired(timeoutMs))
                loop.quit();
        };
        connect(device.get(), &FakeDevice::datagramReceived, &loop, check);
        connect(&poll, &QTimer::timeout, &loop, check);
        poll.start(5);
        loop.exec();
        return done();
    }

    static std::optional<Datagram::ParsedCommand> parse(const QByteArray &bytes)
    {
        return Datagram::parseCommand(bytes.constData(), bytes.size());
    }

    // Commands other than the periodic "Ping" received from index `from` on.
    QVector<Datagram::ParsedCommand> operationsSince(int from) const
    {
        QVector<Datagram::ParsedCommand> result;
        for (int i = from; i < device->received.size(); ++i) {
            const auto command = parse(device->received.at(i));
            if (command && command->name != "Ping")
                result.append(*command);
        }
        return result;
    }

    Datagram::ParsedCommand lastOperation() const
    {
        for (int i = device->received.size() - 1; i >= 0; --i) {
            const auto command = parse(device->received.at(i));
            if (command && command->name != "Ping")
                return *command;
        }
        return {};
    }

    // Answers the outstanding command and waits for the window's next command.
    bool ackNext(quint8 status = ReplyOkCode)
    {
        const int mark = device->received.size();
        device->reply(lastOperation().sequence, status);
        return waitFor([&] { return !operationsSince(mark).isEmpty(); });
    }

    bool ackUntil(const std::function<bool()> &done)
    {
        while (!done()) {
            if (!ackNext())
                return false;
        }
        return true;
    }

    // Starts an upload that the test answers block by block.
    bool startUpload(const QString &path)
    {
        device->answerRequests = false;
        lineEdit(*window, "pLineFileName")->setText(path);
        const int mark = device->received.size();
        click("pButStartUpload");
        return waitFor([&] { return !operationsSince(mark).isEmpty(); }) &&
               lastOperation().name == "Start";
    }

    // A whole upload answered by the fake.
    bool uploadCompletely(const QString &path)
    {
        device->answerRequests = true;
        lineEdit(*window, "pLineFileName")->setText(path);
        click("pButStartUpload");
        return waitFor([&] { return probe().uploadStage() == StageIdle; }, 20000) &&
               status(*window) == "Connected. Uploading has been completed successful!";
    }

    bool reachStage(int stage)
    {
        if (stage == StageChecking) {
            device->answerRequests = false;
            click("pButCheckApplication");
            return waitFor([&] { return lastOperation().name == "Check"; });
        }
        const QString image = writeFile("firmware.bin", sampleImage(stage));
        switch (stage) {
        case StageWriting: // far enough for the progress bar to have left 0
            return startUpload(image) &&
                   ackUntil([&] { return operationsSince(0).count() > 40; }) &&
                   progress(*window) > 0;
        case StageFinishing:
            return startUpload(image) &&
                   ackUntil([&] { return probe().uploadStage() == StageFinishing; });
        default:
            return startUpload(image);
        }
    }

private slots:
    void initTestCase()
    {
        StrictMessages::install();
        QVERIFY(dir.isValid());
    }

    void init()
    {
        device = std::make_unique<FakeDevice>();
        window = std::make_unique<MainWindow>();
        QVERIFY(connectTo(*window, *device));
        // Keep-alives would restore "Connected" at the next 1 s tick and race the assertions.
        device->answerPings = false;
    }

    void cleanup()
    {
        window.reset();
        device.reset();
        // The offscreen platform warns whenever a message box is shown; that is not ours.
        QStringList warnings = StrictMessages::take();
        warnings.removeAll("This plugin does not support propagateSizeHints()");
        QCOMPARE(warnings, QStringList());
    }

    void fullUploadReachesDeviceInOrder()
    {
        const QByteArray image = sampleImage(7);
        QVERIFY(startUpload(writeFile("firmware.bin", image)));
        QCOMPARE(lastOperation().type, quint8(CmdRequest));
        QCOMPARE(status(*window), QString("Connected. Flash erasing..."));
        QVERIFY(!enabled("pButStartUpload") && !enabled("pButCheckApplication"));
        QVERIFY(enabled("pButStop") && !enabled("pButStartApplication"));

        // One entry per acknowledgement: of "Start", then of each "Write".
        QVector<int> progressAfter, expected;
        QStringList statusAfter;
        for (int acked = 0; acked <= Blocks; ++acked) {
            QVERIFY2(ackNext(), qPrintable(QString("block %1").arg(acked)));
            progressAfter.append(progress(*window));
            expected.append(acked == Blocks ? 100 : acked * 100 / Blocks);
            statusAfter.append(status(*window));
        }
        QCOMPARE(progressAfter.at(17), 0);
        QCOMPARE(progressAfter.at(18), 1);
        QCOMPARE(progressAfter, expected);
        QCOMPARE(statusAfter.count("Connected. Uploading..."), Blocks);
        QCOMPARE(statusAfter.last(), QString("Connected. Checking..."));

        const Datagram::ParsedCommand end = lastOperation();
        QCOMPARE(end.name, QByteArray("End"));
        QCOMPARE(end.type, quint8(CmdRequest));
        QVERIFY(end.payload.isEmpty());

        QByteArray reassembled;
        int writes = 0;
        for (const QByteArray &bytes : qAsConst(device->received)) {
            const auto command = parse(bytes);
            if (command && command->name == "Write") {
                ++writes;
                QCOMPARE(bytes.size(), 520);
                QCOMPARE(command->type, quint8(CmdRequest));
                reassembled += command->payload;
            }
        }
        QCOMPARE(writes, Blocks);
        QVERIFY(reassembled == image);

        // Start, every Write and End each take the next number; 0 never appears.
        const auto operations = operationsSince(0);
        int wraps = 0;
        for (int i = 1; i < operations.size(); ++i) {
            QCOMPARE(operations.at(i).sequence,
                     Datagram::nextSequence(operations.at(i - 1).sequence));
            QVERIFY(operations.at(i).sequence != 0);
            wraps += operations.at(i - 1).sequence == 255;
        }
        QVERIFY(wraps >= 7);

        device->reply(end.sequence, ReplyOkCode);
        QVERIFY(waitFor([&] { return probe().uploadStage() == StageIdle; }));
        QCOMPARE(status(*window), QString("Connected. Uploading has been completed successful!"));
        QCOMPARE(progress(*window), 100);
        QVERIFY(enabled("pButStartApplication") && enabled("pButStartUpload"));

        for (int clicks = 1; clicks <= 2; ++clicks) {
            click("pButStartApplication");
            QVERIFY(waitFor([&] { return device->count("StartApplication") == clicks; }));
            QCOMPARE(lastOperation().type, quint8(CmdNotice));
            QVERIFY(enabled("pButStartApplication"));
            QCOMPARE(status(*window), QString("Connected. Application should be started."));
        }
    }

    void verdicts_data()
    {
        QTest::addColumn<bool>("uploadFirst");
        QTest::addColumn<QByteArray>("refused"); // command the device refuses
        QTest::addColumn<bool>("check");
        QTest::addColumn<QString>("verdict");
        QTest::addColumn<int>("progressAfter");
        QTest::addColumn<bool>("startAppAfter");
        QTest::newRow("End refused") << true << QByteArray("End") << false
                                     << "Connected. Uploaded with error :(" << 0 << false;
        QTest::newRow("Check passes, progress stays 0")
            << false << QByteArray() << true << "Connected. Checked successful!" << 0 << true;
        QTest::newRow("Check passes, progress stays 100 after an upload")
            << true << QByteArray() << true << "Connected. Checked successful!" << 100 << true;
        QTest::newRow("Check refused after an upload")
            << true << QByteArray("Check") << true << "Connected. Application is wrong!" << 0
            << false;
    }
    void verdicts()
    {
        QFETCH(bool, uploadFirst);
        QFETCH(QByteArray, refused);
        QFETCH(bool, check);
        QFETCH(QString, verdict);
        QFETCH(int, progressAfter);
        QFETCH(bool, startAppAfter);
        if (!refused.isEmpty())
            device->statusFor[refused] = Refused;
        if (uploadFirst) {
            device->answerRequests = true;
            lineEdit(*window, "pLineFileName")->setText(writeFile("f.bin", sampleImage(1)));
            click("pButStartUpload");
            QVERIFY(waitFor([&] { return probe().uploadStage() == StageIdle; }, 20000));
        }
        if (check) {
            click("pButCheckApplication");
            QVERIFY(waitFor([&] { return probe().uploadStage() == StageIdle; }));
        }
        QCOMPARE(status(*window), verdict);
        QCOMPARE(progress(*window), progressAfter);
        QCOMPARE(enabled("pButStartApplication"), startAppAfter);
        QCOMPARE(probe().startAppAllowed(), startAppAfter);
        for (const char *name : {"pButStartUpload", "pButStop", "pButCheckApplication"})
            QVERIFY2(enabled(name) == startAppAfter, name);

        device->answerPings = true;
        invoke(*window, "slot_ping_timer_timeout");
        QVERIFY(waitFor([&] { return probe().linkState() == LinkUp; }));
        if (startAppAfter)
            QTest::qWait(100); // a keep-alive while the link is up must change nothing
        QCOMPARE(status(*window), startAppAfter ? verdict : QString("Connected"));
        for (const char *name : {"pButStartUpload", "pButStop", "pButCheckApplication"})
            QVERIFY2(enabled(name), name);
        QCOMPARE(enabled("pButStartApplication"), startAppAfter);
    }

    void stopInBusyStage_data()
    {
        QTest::addColumn<int>("stage");
        QTest::newRow("erasing") << int(StageErasing);
        QTest::newRow("writing") << int(StageWriting);
        QTest::newRow("checking") << int(StageChecking);
        QTest::newRow("finishing") << int(StageFinishing);
    }
    void stopInBusyStage()
    {
        QFETCH(int, stage);
        QVERIFY(reachStage(stage));
        QCOMPARE(probe().uploadStage(), stage);
        const quint8 outstanding = lastOperation().sequence;
        const int mark = device->received.size();
        click("pButStop");
        QCOMPARE(status(*window), QString("Connected. Stoping..."));
        QCOMPARE(progress(*window), 0);
        QCOMPARE(probe().uploadStage(), int(StageIdle));
        QTest::qWait(100);
        QVERIFY(operationsSince(mark).isEmpty());

        device->reply(outstanding, ReplyOkCode); // the device's late answer
        QVERIFY(waitFor([&] { return !operationsSince(mark).isEmpty(); }));
        const auto sent = operationsSince(mark);
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent.first().name, QByteArray("End"));
        QCOMPARE(sent.first().type, quint8(CmdNotice));
        QCOMPARE(status(*window), QString("Connected. Stoping..."));
        QCOMPARE(progress(*window), 0);
    }

    void stopWhileIdleDoesNothing()
    {
        QVERIFY(uploadCompletely(writeFile("f.bin", sampleImage(2))));
        const int mark = device->received.size();
        click("pButStop");
        QTest::qWait(100);
        QVERIFY(operationsSince(mark).isEmpty());
        QCOMPARE(status(*window), QString("Connected. Uploading has been completed successful!"));
        QCOMPARE(progress(*window), 100);
        QVERIFY(enabled("pButStartApplication") && enabled("pButStartUpload"));
    }

    void wrongSequenceEndsUpload()
    {
        QVERIFY(reachStage(StageWriting));
        const int mark = device->received.size();
        device->reply(Datagram::nextSequence(lastOperation().sequence), ReplyOkCode);
        QVERIFY(waitFor([&] { return !operationsSince(mark).isEmpty(); }));
        const auto sent = operationsSince(mark);
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent.first().name, QByteArray("End"));
        QCOMPARE(sent.first().type, quint8(CmdNotice));
        QCOMPARE(progress(*window), 0);
        QCOMPARE(status(*window), QString("Connected"));
        QCOMPARE(probe().uploadStage(), int(StageIdle));
        QCOMPARE(probe().linkState(), int(LinkConnecting));
    }

    void droppedReplyLeavesUploadWaiting()
    {
        QVERIFY(reachStage(StageWriting));
        const int mark = device->received.size();
        QTest::qWait(200);
        QVERIFY(operationsSince(mark).isEmpty());
        QCOMPARE(probe().uploadStage(), int(StageWriting));
        QCOMPARE(status(*window), QString("Connected. Uploading..."));
        click("pButStop");
        QCOMPARE(probe().uploadStage(), int(StageIdle));
        QCOMPARE(status(*window), QString("Connected. Stoping..."));
    }

    void duplicatedReplyEndsUpload()
    {
        QVERIFY(reachStage(StageWriting));
        const quint8 sequence = lastOperation().sequence;
        const int mark = device->received.size();
        device->reply(sequence, ReplyOkCode);
        device->reply(sequence, ReplyOkCode);
        QVERIFY(waitFor([&] { return operationsSince(mark).size() >= 2; }));
        QTest::qWait(50);
        const auto sent = operationsSince(mark);
        QCOMPARE(sent.size(), 2);
        QCOMPARE(sent.at(0).name, QByteArray("Write"));
        QCOMPARE(sent.at(1).name, QByteArray("End"));
        QCOMPARE(sent.at(1).type, quint8(CmdNotice));
        QCOMPARE(status(*window), QString("Connected"));
        QCOMPARE(probe().uploadStage(), int(StageIdle));
    }

    void refusalWhileUploadingEndsIt_data()
    {
        QTest::addColumn<int>("stage");
        QTest::newRow("Start refused") << int(StageErasing);
        QTest::newRow("Write refused") << int(StageWriting);
    }
    void refusalWhileUploadingEndsIt()
    {
        QFETCH(int, stage);
        QVERIFY(reachStage(stage));
        const int mark = device->received.size();
        device->reply(lastOperation().sequence, Refused);
        QVERIFY(waitFor([&] { return probe().uploadStage() == StageIdle; }));
        QCOMPARE(status(*window), QString("Connected. Uploaded with error :("));
        QCOMPARE(progress(*window), 0);
        for (const char *name :
             {"pButStartUpload", "pButStop", "pButCheckApplication", "pButStartApplication"})
            QVERIFY2(!enabled(name), name);
        QTest::qWait(100);
        QVERIFY(operationsSince(mark).isEmpty());
    }

    void operationsIgnoredWhileLinkDown()
    {
        lineEdit(*window, "pLineFileName")->setText(writeFile("f.bin", sampleImage(3)));
        click("pButConnectToggle");
        QCOMPARE(probe().linkState(), int(LinkDown));
        const int mark = device->received.size();
        ModalCloser closer;
        for (const char *slot : {"on_pButStartUpload_clicked", "on_pButCheckApplication_clicked",
                                 "on_pButStartApplication_clicked", "on_pButStop_clicked"})
            invoke(*window, slot);
        QTest::qWait(100);
        QCOMPARE(device->received.size(), mark);
        QVERIFY(closer.seen.isEmpty());
        QCOMPARE(status(*window), QString("Disconnected"));
        QCOMPARE(probe().uploadStage(), int(StageIdle));
    }

    void linkKeptAliveWhileUploadBoxIsOpen()
    {
        lineEdit(*window, "pLineFileName")->setText(writeFile("short.bin", QByteArray(100, 'x')));
        // A stray reply leaves the link waiting for a keep-alive: only one handled while the box
        // is open can bring it up again.
        device->reply(Datagram::nextSequence(quint8(probe().sequenceNumber())), ReplyOkCode);
        QVERIFY(waitFor([&] { return probe().linkState() == LinkConnecting; }));
        device->answerPings = true;
        const int pings = device->count("Ping");

        QString text;
        bool aliveWhileOpen = false;
        QElapsedTimer open;
        QTimer closer;
        connect(&closer, &QTimer::timeout, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            if (!open.isValid())
                open.start();
            aliveWhileOpen = device->count("Ping") > pings && probe().linkState() == LinkUp;
            if (aliveWhileOpen || open.hasExpired(5000)) {
                text = box->text();
                box->done(QMessageBox::Ok);
            }
        });
        closer.start(10);
        invoke(*window, "on_pButStartUpload_clicked"); // the button is off while connecting
        QCOMPARE(text, QString(FirmwareMessages::WrongSize));
        QVERIFY(aliveWhileOpen);
        QCOMPARE(status(*window), QString("Connected"));
        QVERIFY(enabled("pButStartUpload"));
        QCOMPARE(probe().uploadStage(), int(StageIdle));
    }

    void failedStartAfterUploadRestartsAtZero()
    {
        QVERIFY(uploadCompletely(writeFile("first.bin", sampleImage(4))));
        lineEdit(*window, "pLineFileName")->setText(writeFile("short.bin", QByteArray(10, 'x')));
        {
            ModalCloser closer;
            click("pButStartUpload");
            QCOMPARE(closer.seen.size(), 1);
            QCOMPARE(closer.seen.first().text, QString(FirmwareMessages::WrongSize));
        }
        QVERIFY(probe().firmwareData().isEmpty());
        QCOMPARE(probe().uploadStage(), int(StageIdle));
        QCOMPARE(status(*window), QString("Connected. Uploading has been completed successful!"));

        const QByteArray second = sampleImage(5);
        QVERIFY(startUpload(writeFile("second.bin", second)));
        QVERIFY(ackNext());
        const Datagram::ParsedCommand first = lastOperation();
        QCOMPARE(first.name, QByteArray("Write"));
        QVERIFY(first.payload == second.left(WriteBlockSize));
    }
};

QTEST_MAIN(OperationsTest)
#include "tst_operations.moc"
