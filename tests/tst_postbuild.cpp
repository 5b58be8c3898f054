#include "image/crc32.h"
#include "image/firmwarefile.h"
#include "support/fakedevice.h"
#include "support/modalcloser.h"
#include "support/strictmessages.h"
#include "support/windowdriver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopedPointer>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>

using namespace WindowDriver;

namespace {

const char Success[] = "Postbuild is completed successful";
constexpr int BodySize = 917500;
constexpr int ImageSize = 917504;

QByteArray checksumBytes(const QByteArray &body)
{
    const quint32 c = crc32Compute(body.constData(), body.size());
    QByteArray bytes(4, 0);
    for (int i = 0; i < 4; ++i)
        bytes[i] = char(c >> (24 - 8 * i)); // most significant first
    return bytes;
}

QByteArray pattern(int size)
{
    QByteArray bytes(size, 0);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xFF);
    return bytes;
}

bool writeFile(const QString &name, const QByteArray &bytes)
{
    QFile file(name);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList entries()
{
    return QDir::current().entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                     QDir::Name);
}

// Files may not grow past `bytes` while it lives: writes then fail with EFBIG, even as root.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous);
        rlimit limited = previous;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);
    }

private:
    rlimit previous{};
    void (*previousHandler)(int) = nullptr;
};

} // namespace

class PostBuildTest : public QObject
{
    Q_OBJECT
    QScopedPointer<QTemporaryDir> dir;
    QScopedPointer<MainWindow> window;
    QString previousDir;

    void postBuild(const QString &input)
    {
        typeInto(lineEdit(*window, "pLineFileName"), input);
        QTest::mouseClick(button(*window, "pButPostBuild"), Qt::LeftButton);
    }
    void clearStatus() { child<QStatusBar>(*window, "statusbar")->clearMessage(); }
    static void verifyOneBox(const ModalCloser &closer, const char *text)
    {
        QCOMPARE(closer.seen.size(), 1);
        QCOMPARE(closer.seen[0].text, QString::fromLatin1(text));
        QCOMPARE(closer.seen[0].icon, QMessageBox::NoIcon);
        QVERIFY(!closer.seen[0].hadParent);
    }

private slots:
    void initTestCase() { StrictMessages::install(); }

    void init()
    {
        previousDir = QDir::currentPath();
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
        QVERIFY(QDir::setCurrent(dir->path()));
        window.reset(new MainWindow);
    }

    void cleanup()
    {
        window.reset();
        QFile::setPermissions(dir->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(QDir::setCurrent(previousDir));
        dir.reset();
        QStringList warnings;
        for (const QString &warning : StrictMessages::take()) {
            // The offscreen platform says this for every message box; it is no fault of ours.
            if (!warning.contains("propagateSizeHints"))
                warnings << warning;
        }
        QCOMPARE(warnings, QStringList());
    }

    void layout_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("checksum"); // empty: refused as too big
        QTest::newRow("empty input: all fill, F9 0B 91 0E")
            << QByteArray() << QByteArray::fromHex("F90B910E");
        QTest::newRow("abc: fill after the bytes, FE CB 12 0A")
            << QByteArray("abc") << QByteArray::fromHex("FECB120A");
        QTest::newRow("exactly 917500 bytes: no fill")
            << pattern(BodySize) << checksumBytes(pattern(BodySize));
        QTest::newRow("917501 bytes: very big, nothing written")
            << pattern(BodySize + 1) << QByteArray();
    }
    void layout()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, checksum);
        QVERIFY(writeFile("raw.bin", input));
        QByteArray first;
        for (int run = 0; run < 2; ++run) {
            ModalCloser closer;
            postBuild("raw.bin");
            QCOMPARE(MainWindowProbe(*window).linkState(), 0);
            if (checksum.isEmpty()) {
                verifyOneBox(closer, FirmwareMessages::TooBig);
                QCOMPARE(entries(), QStringList{"raw.bin"});
                QCOMPARE(progress(*window), 0);
                QCOMPARE(status(*window), QString("Disconnected"));
                continue;
            }
            QVERIFY(closer.seen.isEmpty());
            QCOMPARE(progress(*window), 100);
            QCOMPARE(status(*window), QString(Success));
            const QByteArray image = readFile("target.bin");
            QCOMPARE(image.size(), ImageSize);
            QCOMPARE(image.left(input.size()), input);
            QCOMPARE(image.mid(input.size(), BodySize - input.size()),
                     QByteArray(BodySize - input.size(), char(0xFF)));
            QCOMPARE(image.mid(BodySize).toHex(), checksum.toHex());
            QCOMPARE(checkFirmwareFileName("target.bin"), FileNameCheck::Passed);
            QByteArray uploaded;
            QCOMPARE(readUploadImage("target.bin", &uploaded), ImageRead::Loaded);
            QCOMPARE(uploaded, image);
            if (run == 0)
                first = image;
            else
                QVERIFY(image == first);
        }
    }

    void earlierOutputSurvives_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QByteArray>("inputBytes"); // empty: reuse a first post-build's output
        QTest::addColumn<bool>("limitFileSize");
        QTest::addColumn<QString>("message");
        QTest::newRow("too-big input")
            << "big.bin" << pattern(BodySize + 1) << false << FirmwareMessages::TooBig;
        QTest::newRow("target.bin as its own input")
            << "target.bin" << QByteArray() << false << FirmwareMessages::TooBig;
        QTest::newRow("write fails (file size limit)")
            << "raw.bin" << QByteArray("abc") << true << FirmwareMessages::NotWritten;
    }
    void earlierOutputSurvives()
    {
        QFETCH(QString, input);
        QFETCH(QByteArray, inputBytes);
        QFETCH(bool, limitFileSize);
        QFETCH(QString, message);
        if (inputBytes.isEmpty()) {
            QVERIFY(writeFile("raw.bin", "abc"));
            postBuild("raw.bin");
            QCOMPARE(progress(*window), 100);
        } else {
            QVERIFY(writeFile(input, inputBytes));
            QVERIFY(writeFile("target.bin", "an earlier image, not a post-build output"));
        }
        clearStatus();
        const QByteArray before = readFile("target.bin");
        const QStringList beforeEntries = entries();
        ModalCloser closer;
        {
            QScopedPointer<FileSizeLimit> limit(limitFileSize ? new FileSizeLimit(64 * 1024)
                                                              : nullptr);
            postBuild(input);
        }
        verifyOneBox(closer, message.toLatin1().constData());
        QCOMPARE(readFile("target.bin"), before);
        QCOMPARE(entries(), beforeEntries); // no temporary file left behind
        QCOMPARE(progress(*window), 0);
        QCOMPARE(status(*window), QString());
    }

    void unopenableOutputIsSilent_data()
    {
        QTest::addColumn<bool>("readOnlyFolder"); // else "target.bin" is a folder
        QTest::addColumn<int>("inputSize");
        QTest::newRow("read-only folder") << true << 3;
        QTest::newRow("read-only folder, too-big input") << true << BodySize + 1;
        QTest::newRow("target.bin is a folder") << false << 3;
        QTest::newRow("target.bin is a folder, too-big input") << false << BodySize + 1;
    }
    void unopenableOutputIsSilent()
    {
        QFETCH(bool, readOnlyFolder);
        QFETCH(int, inputSize);
        QVERIFY(writeFile("ok.bin", "abc"));
        QVERIFY(writeFile("raw.bin", pattern(inputSize)));
        postBuild("ok.bin"); // leaves progress at 100 for the failing click to reset
        QCOMPARE(progress(*window), 100);
        QVERIFY(QFile::remove("target.bin"));
        if (readOnlyFolder) {
            QVERIFY(QFile::setPermissions(".", QFile::ReadOwner | QFile::ExeOwner |
                                                   QFile::ReadGroup | QFile::ExeGroup |
                                                   QFile::ReadOther | QFile::ExeOther));
            QFile probe("probe");
            if (probe.open(QIODevice::WriteOnly)) {
                probe.remove();
                QSKIP("permissions do not stop writes here (running as root)");
            }
        } else {
            QVERIFY(QDir().mkdir("target.bin"));
        }
        clearStatus();
        const QStringList beforeEntries = entries();
        ModalCloser closer;
        postBuild("raw.bin");
        QTest::qWait(50); // a box would have been closed and recorded by now
        QVERIFY(closer.seen.isEmpty());
        QCOMPARE(entries(), beforeEntries);
        QCOMPARE(QFileInfo("target.bin").isDir(), !readOnlyFolder);
        QCOMPARE(progress(*window), 0);
        QCOMPARE(status(*window), QString());
    }

    void leavesRunningUploadAlone()
    {
        FakeDevice device;
        device.answerRequests = false; // the upload stays in erasing
        const QByteArray body = pattern(BodySize);
        const QByteArray image = body + checksumBytes(body);
        QVERIFY(writeFile("upload.bin", image));
        QVERIFY(writeFile("raw.bin", "abc"));
        QVERIFY(connectTo(*window, device));
        typeInto(lineEdit(*window, "pLineFileName"), "upload.bin");
        QTest::mouseClick(button(*window, "pButStartUpload"), Qt::LeftButton);
        QTRY_COMPARE(device.count("Start"), 1);
        const MainWindowProbe probe(*window);
        QCOMPARE(probe.uploadStage(), 1);
        const int sequence = probe.sequenceNumber();
        const int sentBefore = device.commands().size() - device.count("Ping");

        ModalCloser closer;
        postBuild("raw.bin");
        QTest::qWait(50);
        QVERIFY(closer.seen.isEmpty());
        QCOMPARE(status(*window), QString(Success));
        QCOMPARE(progress(*window), 100);
        QCOMPARE(readFile("target.bin").size(), ImageSize);
        QCOMPARE(probe.uploadStage(), 1);
        QVERIFY(probe.firmwareData() == image);
        QCOMPARE(probe.linkState(), 2);
        QCOMPARE(probe.sequenceNumber(), sequence);
        QCOMPARE(device.commands().size() - device.count("Ping"), sentBefore);
    }
};

QTEST_MAIN(PostBuildTest)
#include "tst_postbuild.moc"
