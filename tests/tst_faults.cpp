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
enum Ending { Settles, StopStalled, KillTimeout };
} // namespace

// The real window uploading a whole image to the simulator while the device misbehaves: it
// must never claim a success the device's saved bytes do not bear out, and always end where
// one click gets the operator out.
class FaultsTest : public WindowFixture
{
    Q_OBJECT
    QTemporaryDir dir;
    QByteArray image;
    std::vector<std::unique_ptr<SimProcess>> sims;
    QStringList shown;      // every status text since the window was made
    int falseSuccesses = 0; // success shown while the device's saved bytes differ

    QString path(const QString &name) const { return dir.filePath(name); }
    bool connectToSim(const QStringList &options)
    {
        sims.push_back(std::make_unique<SimProcess>(BOOTLOADER_SIM_PATH,
                                                    options + QStringList{"--verbose"},
                                                    path(QString("sim%1.log").arg(sims.size()))));
        if (!pointAt(sims.back()->port()))
            return false;
        click("pButConnectToggle");
        return waitFor([&] { return probe().linkState() == LinkUp; });
    }

private slots:
    void initTestCase()
    {
        QByteArray raw(FirmwareBodySize - 777, 0);
        for (int i = 0; i < raw.size(); ++i)
            raw[i] = char(i * 13 + i / 509);
        image = buildFirmwareImage(raw);
        QVERIFY(writeTestFile(path("firmware.bin"), image));
    }
    void init()
    {
        QFile::remove(path("saved.bin"));
        shown.clear();
        falseSuccesses = 0;
        makeWindow();
        widget<QLineEdit>("pLineFileName")->setText(path("firmware.bin"));
        connect(widget<QStatusBar>("statusbar"), &QStatusBar::messageChanged, this,
                [this](const QString &text) {
                    shown << text;
                    falseSuccesses += text == Success && readTestFile(path("saved.bin")) != image;
                });
    }
    void cleanup()
    {
        dropWindow();
        sims.clear();
    }

    void faultyDevice_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("ending");
        QTest::addColumn<QString>("expected"); // a status the upload must show; empty: none
        QTest::newRow("healthy device") << QStringList() << int(Settles) << Success;
        QTest::newRow("erase outlasts a ping")
            << QStringList{"--erase-ms", "1200"} << int(Settles) << Success;
        QTest::newRow("every 50th reply dropped, Stop")
            << QStringList{"--drop-every", "50"} << int(StopStalled) << "Connected. Stoping...";
        QTest::newRow("device killed mid-upload, link timeout")
            << QStringList() << int(KillTimeout) << "Disconnected";
    }
    void faultyDevice()
    {
        QFETCH(QStringList, options);
        QFETCH(int, ending);
        QFETCH(QString, expected);
        QVERIFY(connectToSim(options + QStringList{"--save", path("saved.bin")}));
        QProcess &sim = sims.back()->process();
        if (ending == KillTimeout)
            connect(widget<QProgressBar>("progressBar"), &QProgressBar::valueChanged, &sim,
                    [&sim](int value) { value >= 10 ? sim.kill() : void(); });
        click("pButStartUpload");
        QCOMPARE(probe().uploadStage(), int(StageErasing));
        if (ending == Settles) {
            QVERIFY2(waitFor([&] { return probe().uploadStage() == StageIdle; }, 15000),
                     qPrintable(status()));
        } else {
            // The upload stalls: a reply dropped, or nobody left to answer.
            QVERIFY(waitFor([&] {
                return ending == KillTimeout ? sim.state() == QProcess::NotRunning
                                             : readTestFile(path("sim0.log")).contains("-x Write");
            }));
            QVERIFY(probe().uploadStage() == StageWriting && progress() < 100);
            ending == KillTimeout ? invoke("slot_timer_timeout") : click("pButStop");
        }
        QVERIFY2(shown.contains(expected) && shown.contains(Success) == (expected == Success) &&
                     !shown.contains("Connected. Uploaded with error :("),
                 qPrintable(shown.join(" | ")));
        QCOMPARE(falseSuccesses, 0);
        QVERIFY(expected != Success || readTestFile(path("saved.bin")) == image);
        // One click away from the next upload: at once, after a keep-alive, or after Connect.
        QVERIFY(ending != KillTimeout || connectToSim({}));
        QVERIFY2(waitFor([&] {
                     return state().text().startsWith("LinkUp Idle") &&
                            state().enabled.startsWith("Upload Stop Check");
                 }),
                 toString(state()));
    }
};

QTEST_MAIN(FaultsTest)
#include "tst_faults.moc"
