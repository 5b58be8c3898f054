#include "core/firmwareimage.h"
#include "support/simprocess.h"
#include "support/testfiles.h"
#include "support/windowharness.h"

#include <QProgressBar>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString Success = "Connected. Uploading has been completed successful!";
} // namespace

// The real window uploading a whole image to the simulator while the device misbehaves: it
// must never claim a success the device's saved bytes do not bear out, and always end where
// one click gets the operator out.
class FaultsTest : public WindowFixture
{
    Q_OBJECT
    QTemporaryDir dir;
    QByteArray image;

    QString path(const QString &name) const { return dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QByteArray raw; // every block differs
        for (int i = 0; raw.size() < FirmwareBodySize - 777; ++i)
            raw += QByteArray::number(i);
        image = buildFirmwareImage(raw.left(FirmwareBodySize - 777));
        QVERIFY(writeTestFile(path("firmware.bin"), image));
    }
    void init() { makeWindow(); }
    void cleanup()
    {
        dropWindow();
        QFile::remove(path("saved.bin"));
    }

    void faultyDevice_data()
    {
        QTest::addColumn<QString>("option");   // of the simulator; "kill": killed at 10 %
        QTest::addColumn<QString>("expected"); // a status the upload must show
        QTest::addColumn<QString>("after");    // the screen it settles in
        QTest::newRow("healthy device")
            << "" << Success << "LinkUp Idle 100% [Upload Stop Check StartApp] '" + Success;
        QTest::newRow("every 50th reply dropped, Stop") << "--drop-every=50"
                                                        << "Connected. Stoping..."
                                                        << "LinkUp Idle 0% [Upload Stop Check]";
        QTest::newRow("device killed, link timeout") << "kill"
                                                     << "Disconnected"
                                                     << "LinkDown Idle 0% [IP Port] 'Disconnected'";
    }
    void faultyDevice()
    {
        QFETCH(QString, option);
        QFETCH(QString, expected);
        QFETCH(QString, after);
        QStringList options{"--verbose", "--save", path("saved.bin")};
        if (option.startsWith("--"))
            options << option.split('=');
        SimProcess sim(BOOTLOADER_SIM_PATH, options, path("sim.log"));
        QStringList shown;      // every status text
        int falseSuccesses = 0; // success shown while the device's saved bytes differ
        QObject watching;       // its connections end before these and the simulator go
        connect(widget<QStatusBar>("statusbar"), &QStatusBar::messageChanged, &watching,
                [&](const QString &text) {
                    shown << text;
                    falseSuccesses += text == Success && readTestFile(path("saved.bin")) != image;
                });
        QVERIFY(pointAt(sim.port()));
        click("pButConnectToggle");
        QVERIFY(waitFor([&] { return probe().linkState() == LinkUp; }));
        if (option == "kill")
            connect(widget<QProgressBar>("progressBar"), &QProgressBar::valueChanged, &watching,
                    [&sim](int value) { value >= 10 ? sim.process().kill() : void(); });
        widget<QLineEdit>("pLineFileName")->setText(path("firmware.bin"));
        click("pButStartUpload");
        QCOMPARE(probe().uploadStage(), int(StageErasing));
        if (option.isEmpty()) {
            QVERIFY2(waitFor([&] { return probe().uploadStage() == StageIdle; }, 15000),
                     qPrintable(status()));
            QVERIFY(readTestFile(path("saved.bin")) == image);
        } else { // the upload stalls: a reply dropped, or nobody left to answer
            QVERIFY(waitFor([&] {
                return option == "kill" ? sim.process().state() == QProcess::NotRunning
                                        : readTestFile(path("sim.log")).contains("-x Write");
            }));
            QCOMPARE(probe().uploadStage(), int(StageWriting));
            QVERIFY(progress() < 100);
            option == "kill" ? invoke("slot_timer_timeout") : click("pButStop");
        }
        QVERIFY2(shown.contains(expected), qPrintable(shown.join(" | ")));
        QVERIFY2(!shown.contains("Connected. Uploaded with error :("),
                 qPrintable(shown.join(" | ")));
        QCOMPARE(falseSuccesses, 0);
        // One click away from the next upload: at once, after a keep-alive, or Connect.
        QVERIFY2(waitFor([&] { return screen().startsWith(after); }), qPrintable(screen()));
    }
};

QTEST_MAIN(FaultsTest)
#include "tst_faults.moc"
