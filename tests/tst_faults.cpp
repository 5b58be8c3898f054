#include "core/flashprocedure.h"
#include "core/firmwareimage.h"
#include "mainwindow/windowstate.h"
#include "core/protocol.h"
#include "mainwindow/mainwindow.h"
#include "support/strictmessages.h"
#include "support/testfiles.h"
#include "support/windowdriver.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>
#include <functional>
#include <memory>
#include <vector>

using namespace WindowDriver;

namespace {

const QString Success = QStringLiteral("Connected. Uploading has been completed successful!");
const QString Failed = QStringLiteral("Connected. Uploaded with error :(");
const QString Stopping = QStringLiteral("Connected. Stoping...");
const QString Disconnected = QStringLiteral("Disconnected");

// How a row's upload comes to an end.
enum Ending { Settles, StopStalled, SilentTimeout, KillTimeout };

// Runs the event loop until `done` holds. QTRY_* sleeps 10 ms between passes, which would
// pace a lock-step upload at one block per pass; a real loop runs it at loopback speed.
bool waitUntil(const std::function<bool()> &done, int timeoutMs = 5000)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || clock.hasExpired(timeoutMs))
            loop.quit();
    });
    poll.start(10);
    loop.exec();
    return done();
}

} // namespace

// The real window uploading a whole image to the simulator while the device misbehaves: it
// must never crash, never claim a success the device's bytes do not bear out, and always end
// where one click gets the operator out.
class FaultsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void faultyDevice_data();
    void faultyDevice();
    void randomDatagrams();

private:
    quint16 startSim(const QStringList &options);
    QString simLog() const;
    bool connectToSim(quint16 port);
    bool staysStalled();
    bool idleAndConnected();
    MainWindowProbe probe() const { return MainWindowProbe(*window); }
    void click(const char *name) { QTest::mouseClick(button(*window, name), Qt::LeftButton); }

    QTemporaryDir dir;
    QByteArray image;
    QString savePath;
    std::unique_ptr<MainWindow> window;
    std::vector<std::unique_ptr<QProcess>> sims;
    QStringList shown;      // every status text since the window was made
    int falseSuccesses = 0; // success shown while the device's saved bytes differ
};

void FaultsTest::initTestCase()
{
    StrictMessages::install();
    QVERIFY(dir.isValid());
    QByteArray raw(FirmwareBodySize - 777, 0);
    for (int i = 0; i < raw.size(); ++i)
        raw[i] = char(i * 13 + i / 509);
    image = buildFirmwareImage(raw);
    QCOMPARE(image.size(), FirmwareImageSize);
    QFile file(dir.filePath("firmware.bin"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(image) == image.size());
    savePath = dir.filePath("saved.bin");
}

void FaultsTest::init()
{
    QFile::remove(savePath);
    shown.clear();
    falseSuccesses = 0;
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    StrictMessages::take(); // showing offscreen warns on its own
    lineEdit(*window, "pLineFileName")->setText(dir.filePath("firmware.bin"));
    connect(child<QStatusBar>(*window, "statusbar"), &QStatusBar::messageChanged, window.get(),
            [this](const QString &text) {
                shown << text;
                if (text == Success && readTestFile(savePath) != image)
                    ++falseSuccesses;
            });
}

void FaultsTest::cleanup()
{
    QCOMPARE(StrictMessages::take(), QStringList());
    window.reset();
    for (const auto &sim : sims) {
        sim->terminate();
        if (!sim->waitForFinished(3000))
            sim->kill();
        sim->waitForFinished(3000);
    }
    sims.clear();
}

quint16 FaultsTest::startSim(const QStringList &options)
{
    auto sim = std::make_unique<QProcess>();
    // A file, not a pipe: the verbose log must never stall the simulator.
    sim->setStandardErrorFile(dir.filePath(QStringLiteral("sim%1.log").arg(sims.size())));
    sim->start(QStringLiteral(BOOTLOADER_SIM_PATH),
               QStringList{"--port", "0", "--verbose"} + options);
    while (sim->waitForStarted(5000) && !sim->canReadLine()) {
        if (!sim->waitForReadyRead(5000))
            break;
    }
    static const QRegularExpression listening(
        QStringLiteral("^bootloader-sim listening on 127\\.0\\.0\\.1:(\\d+)\\n$"));
    const QRegularExpressionMatch match = listening.match(QString::fromLatin1(sim->readLine()));
    sims.push_back(std::move(sim));
    return match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
}

QString FaultsTest::simLog() const
{
    return QString::fromLatin1(readTestFile(dir.filePath(QStringLiteral("sim%1.log").arg(0))));
}

bool FaultsTest::connectToSim(quint16 port)
{
    if (port == 0 || !pointAtLoopback(*window, port))
        return false;
    click("pButConnectToggle");
    return waitUntil([&] { return probe().linkState() == LinkUp; });
}

// No reply is coming: nothing may move while the test looks.
bool FaultsTest::staysStalled()
{
    const int before = progress(*window);
    QTest::qWait(200);
    return probe().uploadStage() == StageWriting && progress(*window) == before;
}

// Back in business after the next keep-alive: Start Upload is one click away.
bool FaultsTest::idleAndConnected()
{
    return waitUntil(
        [&] {
            return probe().linkState() == LinkUp && probe().uploadStage() == StageIdle &&
                   button(*window, "pButStartUpload")->isEnabled() &&
                   button(*window, "pButConnectToggle")->text() == "Disconnect";
        },
        3000);
}

void FaultsTest::faultyDevice_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("ending");
    QTest::addColumn<QString>("expected"); // a status the upload must show; empty: none
    const QString mismatch = QStringLiteral("Connected"); // the upload ended, nothing said
    QTest::newRow("healthy device") << QStringList() << int(Settles) << Success;
    QTest::newRow("erase outlasts a ping")
        << QStringList{"--erase-ms", "1200"} << int(Settles) << Success;
    QTest::newRow("every 50th reply dropped, Stop")
        << QStringList{"--drop-every", "50"} << int(StopStalled) << Stopping;
    QTest::newRow("every 100th reply duplicated")
        << QStringList{"--duplicate-every", "100"} << int(Settles) << mismatch;
    QTest::newRow("every 300th reply with wrong sequence")
        << QStringList{"--wrong-seq-every", "300"} << int(Settles) << mismatch;
    QTest::newRow("Start refused") << QStringList{"--fail", "Start"} << int(Settles) << Failed;
    QTest::newRow("Write refused") << QStringList{"--fail", "Write"} << int(Settles) << Failed;
    QTest::newRow("End refused") << QStringList{"--fail", "End"} << int(Settles) << Failed;
    QTest::newRow("pings unanswered after the upload, link timeout")
        << QStringList{"--silent-after-ms", "500"} << int(SilentTimeout) << Success;
    QTest::newRow("silent with the upload stalled, link timeout")
        << QStringList{"--silent-after-ms", "500", "--drop-every", "50"} << int(SilentTimeout)
        << QString();
    QTest::newRow("device killed mid-upload, link timeout")
        << QStringList() << int(KillTimeout) << QString();
}

void FaultsTest::faultyDevice()
{
    QFETCH(QStringList, options);
    QFETCH(int, ending);
    QFETCH(QString, expected);

    QVERIFY(connectToSim(startSim(options + QStringList{"--save", savePath})));
    if (ending == KillTimeout) {
        QProcess *sim = sims.back().get();
        connect(child<QProgressBar>(*window, "progressBar"), &QProgressBar::valueChanged, sim,
                [sim](int value) {
                    if (value >= 10 && sim->state() != QProcess::NotRunning)
                        sim->kill();
                });
    }
    const int mark = shown.size();
    click("pButStartUpload");
    QCOMPARE(probe().uploadStage(), int(StageErasing));

    switch (ending) {
    case Settles:
        QVERIFY2(waitUntil([&] { return probe().uploadStage() == StageIdle; }, 15000),
                 qPrintable(status(*window)));
        break;
    case StopStalled:
        QVERIFY(waitUntil([&] { return simLog().contains("-x Write"); }));
        QVERIFY(staysStalled());
        click("pButStop");
        QCOMPARE(status(*window), Stopping);
        break;
    case SilentTimeout: {
        static const QRegularExpression unanswered("request Ping seq=\\d+ len=\\d+ \\(unanswered");
        QVERIFY(waitUntil(
            [&] {
                const QString log = simLog();
                return log.contains(unanswered) &&
                       (probe().uploadStage() == StageIdle || log.contains("-x Write"));
            },
            5000));
        invoke(*window, "slot_timer_timeout");
        QCOMPARE(status(*window), Disconnected);
        break;
    }
    case KillTimeout:
        QVERIFY(waitUntil([&] { return sims.back()->state() == QProcess::NotRunning; }));
        QVERIFY(staysStalled());
        invoke(*window, "slot_timer_timeout");
        QCOMPARE(status(*window), Disconnected);
        break;
    }

    const QStringList during = shown.mid(mark);
    const QString history = during.join(" | ");
    if (!expected.isEmpty())
        QVERIFY2(during.contains(expected), qPrintable(history));
    QVERIFY2(during.contains(Success) == (expected == Success), qPrintable(history));
    QVERIFY2(during.contains(Failed) == (expected == Failed), qPrintable(history));
    QCOMPARE(falseSuccesses, 0);
    if (expected == Success)
        QVERIFY(readTestFile(savePath) == image);

    if (status(*window) == Disconnected) {
        QCOMPARE(probe().uploadStage(), int(StageIdle));
        QVERIFY(!button(*window, "pButStop")->isEnabled());
        QVERIFY(connectToSim(startSim({}))); // one click on Connect brings a link back
    } else {
        QVERIFY2(idleAndConnected(), qPrintable(status(*window)));
    }
}

void FaultsTest::randomDatagrams()
{
    // The window's socket keeps the port of its first send: learn it from a Ping.
    QUdpSocket listener;
    QVERIFY(listener.bind(QHostAddress(QHostAddress::LocalHost), 0));
    QVERIFY(pointAtLoopback(*window, listener.localPort()));
    click("pButConnectToggle");
    QVERIFY(waitUntil([&] { return listener.hasPendingDatagrams(); }));
    quint16 windowPort = 0;
    QByteArray ping(DatagramBufferSize, 0);
    QVERIFY(listener.readDatagram(ping.data(), ping.size(), nullptr, &windowPort) > 0);
    click("pButConnectToggle");
    QCOMPARE(status(*window), Disconnected);
    QVERIFY(windowPort != 0);

    QVERIFY(connectToSim(startSim({"--save", savePath})));
    click("pButStartUpload");
    QCOMPARE(probe().uploadStage(), int(StageErasing));

    // Noise in small batches with the event loop in between, the operator retrying uploads.
    QUdpSocket noise;
    QRandomGenerator rng(0x5eed);
    QElapsedTimer clock;
    clock.start();
    int sent = 0;
    while (sent < 10000 && !clock.hasExpired(12000)) {
        for (int i = 0; i < 40; ++i, ++sent) {
            QByteArray bytes(int(rng.bounded(1101)), 0);
            for (char &byte : bytes)
                byte = char(rng.generate());
            const quint32 kind = rng.bounded(8);
            if (kind < 2 && bytes.size() >= 4) { // a keep-alive or a success, plausibly numbered
                bytes.truncate(4 + int(rng.bounded(4)));
                bytes[0] = 0x02;
                bytes[ReplySequenceOffset] =
                    char(probe().sequenceNumber() + int(rng.bounded(3)) - 1);
                bytes[ReplyStatusOffset] = char(kind == 0 ? KeepAliveCode : ReplyOkCode);
            }
            noise.writeDatagram(bytes, QHostAddress::LocalHost, windowPort);
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (probe().uploadStage() == StageIdle && button(*window, "pButStartUpload")->isEnabled())
            click("pButStartUpload");
    }
    QVERIFY2(sent >= 1000, qPrintable(QString::number(sent)));
    QCOMPARE(falseSuccesses, 0);

    // Whatever the noise left: an upload that cannot finish is one Stop away.
    if (!waitUntil([&] { return probe().uploadStage() == StageIdle; }, 3000)) {
        click("pButStop");
        QCOMPARE(status(*window), Stopping);
    }
    QVERIFY2(idleAndConnected(), qPrintable(status(*window)));

    // And the window still uploads once the noise is gone.
    QFile::remove(savePath);
    click("pButStartUpload");
    QVERIFY(waitUntil([&] { return probe().uploadStage() == StageIdle; }, 15000));
    QCOMPARE(status(*window), Success);
    QVERIFY(readTestFile(savePath) == image);
    QCOMPARE(falseSuccesses, 0);
}

QTEST_MAIN(FaultsTest)
#include "tst_faults.moc"
