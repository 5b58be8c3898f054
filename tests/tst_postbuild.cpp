#include "core/firmwarefile.h"
#include "support/fakedevice.h"
#include "support/modalcloser.h"
#include "support/strictmessages.h"
#include "support/testfiles.h"
#include "support/windowdriver.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <memory>
#include <sys/resource.h>

using namespace WindowDriver;

namespace {
constexpr int BodySize = 917500;
constexpr int ImageSize = 917504;
enum Failure { TooBig, OwnInput, WriteFails, ReadOnlyFolder, TargetIsFolder };

QByteArray pattern(int size)
{
    QByteArray bytes(size, 0);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i % 251);
    return bytes;
}

} // namespace

// "Start postbuild": the image it writes to target.bin, and what it leaves when it cannot.
class PostBuildTest : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<MainWindow> window;

    void postBuild(const QString &input)
    {
        typeInto(lineEdit(*window, "pLineFileName"), input);
        QTest::mouseClick(button(*window, "pButPostBuild"), Qt::LeftButton);
    }

private slots:
    void initTestCase()
    {
        StrictMessages::install();
        std::signal(SIGXFSZ, SIG_IGN); // a write past the file size limit fails instead of killing
    }
    void init() // each test in a fresh folder, where the post-build writes "target.bin"
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid() && QDir::setCurrent(dir->path()));
        window = std::make_unique<MainWindow>();
    }
    void cleanup()
    {
        window.reset();
        QFile::setPermissions(".", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        dir.reset();
        QCOMPARE(StrictMessages::take(), QStringList());
    }

    void layout_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("checksum");
        QTest::newRow("empty: all fill, F9 0B 91 0E") << QByteArray() << QByteArray("F90B910E");
        QTest::newRow("abc, then fill: FE CB 12 0A") << QByteArray("abc") << QByteArray("FECB120A");
        QTest::newRow("917500 bytes: no fill") << pattern(BodySize) << QByteArray("F96CAF7A");
    }
    void layout()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, checksum);
        QVERIFY(writeTestFile("raw.bin", input));
        QByteArray first;
        for (int run = 0; run < 2; ++run) {
            ModalCloser closer;
            postBuild("raw.bin");
            QVERIFY(closer.seen.isEmpty());
            QCOMPARE(progress(*window), 100);
            QCOMPARE(status(*window), QString("Postbuild is completed successful"));
            const QByteArray image = readTestFile("target.bin");
            QCOMPARE(image.size(), ImageSize);
            QVERIFY(image.startsWith(input));
            QVERIFY(image.mid(input.size(), BodySize - input.size()) ==
                    QByteArray(BodySize - input.size(), char(0xFF)));
            QCOMPARE(image.mid(BodySize).toHex().toUpper(), checksum);
            QCOMPARE(checkFirmwareFileName("target.bin"), FileNameCheck::Passed);
            QByteArray uploaded;
            QCOMPARE(readUploadImage("target.bin", &uploaded), ImageRead::Loaded);
            QVERIFY(run == 0 || image == first);
            first = image;
        }
    }

    void failureKeepsEarlierOutput_data()
    {
        QTest::addColumn<int>("failure");
        QTest::addColumn<int>("inputSize");
        QTest::addColumn<QString>("message"); // empty: silent
        const QString tooBig = FirmwareMessages::TooBig, silent;
        const int big = BodySize + 1;
        QTest::newRow("917501 bytes: very big") << int(TooBig) << big << tooBig;
        QTest::newRow("target.bin as its own input") << int(OwnInput) << 0 << tooBig;
        QTest::newRow("write fails (file size limit)")
            << int(WriteFails) << 3 << QString(FirmwareMessages::NotWritten);
        QTest::newRow("read-only folder") << int(ReadOnlyFolder) << 3 << silent;
        QTest::newRow("read-only folder, very big input") << int(ReadOnlyFolder) << big << silent;
        QTest::newRow("target.bin is a folder") << int(TargetIsFolder) << 3 << silent;
        QTest::newRow("target.bin is a folder, big input") << int(TargetIsFolder) << big << silent;
    }
    void failureKeepsEarlierOutput()
    {
        QFETCH(int, failure);
        QFETCH(int, inputSize);
        QFETCH(QString, message);
        QVERIFY(writeTestFile("ok.bin", "abc") && writeTestFile("raw.bin", pattern(inputSize)));
        postBuild("ok.bin"); // an earlier output, and progress at 100 for the failure to reset
        QCOMPARE(progress(*window), 100);
        if (failure == TargetIsFolder)
            QVERIFY(QFile::remove("target.bin") && QDir().mkdir("target.bin"));
        if (failure == ReadOnlyFolder) {
            QVERIFY(QFile::setPermissions(".", QFile::ReadOwner | QFile::ExeOwner));
            if (writeTestFile("probe", "p"))
                QSKIP("permissions do not stop writes here (running as root)");
        }
        child<QStatusBar>(*window, "statusbar")->clearMessage();
        const QByteArray before = readTestFile("target.bin");
        const QStringList entries = QDir().entryList(QDir::AllEntries | QDir::Hidden);
        ModalCloser closer;
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limited{65536, saved.rlim_max}; // writes past 64 KiB fail with EFBIG, even as root
        if (failure == WriteFails)
            setrlimit(RLIMIT_FSIZE, &limited);
        postBuild(failure == OwnInput ? "target.bin" : "raw.bin");
        setrlimit(RLIMIT_FSIZE, &saved);
        QCOMPARE(closer.seen.size(), int(!message.isEmpty()));
        if (!message.isEmpty()) {
            QCOMPARE(closer.seen[0].text, message);
            QVERIFY(closer.seen[0].icon == QMessageBox::NoIcon && !closer.seen[0].hadParent);
        }
        QCOMPARE(readTestFile("target.bin"), before);
        // No image, and no temporary file left behind.
        QCOMPARE(QDir().entryList(QDir::AllEntries | QDir::Hidden), entries);
        QCOMPARE(progress(*window), 0);
        QCOMPARE(status(*window), QString());
    }

    void leavesRunningUploadAlone()
    {
        FakeDevice device;
        device.answerRequests = false; // the upload stays in erasing
        const QByteArray image(ImageSize, 'u');
        QVERIFY(writeTestFile("upload.bin", image) && writeTestFile("raw.bin", "abc"));
        QVERIFY(connectTo(*window, device));
        typeInto(lineEdit(*window, "pLineFileName"), "upload.bin");
        QTest::mouseClick(button(*window, "pButStartUpload"), Qt::LeftButton);
        QTRY_COMPARE(device.count("Start"), 1);
        const MainWindowProbe probe(*window);
        const int sequence = probe.sequenceNumber();
        ModalCloser closer;
        postBuild("raw.bin");
        QVERIFY(closer.seen.isEmpty());
        QCOMPARE(status(*window), QString("Postbuild is completed successful"));
        QCOMPARE(progress(*window), 100);
        QCOMPARE(readTestFile("target.bin").size(), ImageSize);
        QCOMPARE(probe.uploadStage(), 1);
        QVERIFY(probe.firmwareData() == image);
        QCOMPARE(probe.linkState(), 2);
        QCOMPARE(probe.sequenceNumber(), sequence); // nothing sent
    }
};

QTEST_MAIN(PostBuildTest)
#include "tst_postbuild.moc"
