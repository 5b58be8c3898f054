#include "core/firmwarefile.h"
#include "core/firmwareimage.h"
#include "support/testfiles.h"
#include "support/windowharness.h"

#include <QDir>
#include <QFileDialog>
#include <QProcess>
#include <QProgressBar>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {
constexpr int BodySize = FirmwareBodySize, ImageSize = FirmwareImageSize;
// What to put at a name before the click: a size in bytes or one of these.
enum Content : int { NoFile = -1, Folder = -2, Fifo = -3 };
enum Failure { Written, WriteFails, ReadOnlyFolder, TargetFolder, TargetFifo, ReadFails };

// A regular file by its contents; anything else by its kind, never opened (a FIFO would block).
QByteArray describe(const QString &name)
{
    const QFileInfo info(name);
    return info.isFile()   ? readTestFile(name)
           : info.isDir()  ? "folder"
           : info.exists() ? "special"
                           : "missing";
}
} // namespace

// Which firmware files the upload and the post-build accept, the image the post-build writes to
// target.bin, what it leaves when it cannot, and the file dialog.
class FilesTest : public WindowFixture
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;
    QString startDir;
    QProcess fifoWriter; // opens a FIFO for writing and lets go, so a blocking open() returns

    bool create(const QString &name, int content)
    {
        if (content == Fifo && mkfifo(qPrintable(name), 0600) == 0)
            fifoWriter.start("sh", {"-c", ": > \"$0\"", name});
        return content == NoFile || (content == Folder && QDir().mkdir(name)) ||
               (content == Fifo && fifoWriter.waitForStarted()) ||
               (content >= 0 && writeTestFile(name, QByteArray(content, 'r')));
    }
    void postBuild(const QString &input)
    {
        typeInto("pLineFileName", input);
        click("pButPostBuild");
    }

private slots:
    void initTestCase()
    {
        startDir = QDir::currentPath();
        std::signal(SIGXFSZ, SIG_IGN); // a write past the file size limit fails instead of killing
    }
    void init() // a fresh folder each time: names are relative to it, and so is "target.bin"
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        QVERIFY(QDir::setCurrent(dir->path()));
        makeWindow();
    }
    void cleanup()
    {
        fifoWriter.kill();
        fifoWriter.waitForFinished();
        dropWindow();
        QFile::setPermissions(".", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QDir::setCurrent(startDir);
        dir.reset();
    }

    void fileChecks_data()
    {
        QTest::addColumn<QByteArray>("button");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("content");
        QTest::addColumn<QString>("box"); // "text/icon/has a parent"; empty: none
        const QString select = FirmwareMessages::SelectFile + QString("/2/0"),
                      notFound = FirmwareMessages::NotFound + QString("/0/0");
        const auto row = [](const char *action, const char *tag) -> QTestData & {
            return QTest::addRow("%s: %s", action + 4, tag) << QByteArray(action);
        };
        for (const char *action : {"pButStartUpload", "pButPostBuild"}) {
            row(action, "empty name") << "" << int(NoFile) << select;
            row(action, "missing file") << "nothere.bin" << int(NoFile) << notFound;
            row(action, "folder named x.bin") << "x.bin" << int(Folder) << notFound;
            row(action, "FIFO named x.bin") << "x.bin" << int(Fifo) << notFound;
        }
        row("pButStartUpload", "917504 bytes pass") << "a.bin" << ImageSize << QString();
        row("pButStartUpload", "917505 bytes")
            << "a.bin" << ImageSize + 1 << FirmwareMessages::WrongSize + QString("/0/0");
    }
    void fileChecks()
    {
        QFETCH(QByteArray, button);
        QFETCH(QString, name);
        QFETCH(int, content);
        QVERIFY(create(name, content));
        device->answers = 0;
        QVERIFY(connectToDevice());
        QVERIFY(writeTestFile("target.bin", "earlier"));
        widget<QProgressBar>("progressBar")->setValue(37); // a refused post-build resets it
        const QByteArray target = describe("target.bin");
        const QString statusBefore = status();
        const int mark = device->received.size();
        widget<QLineEdit>("pLineFileName")->setText(name);
        ModalCloser closer;
        click(button.constData());
        QTEST(closer.seen.join(' '), "box");
        const bool started = closer.seen.isEmpty() && content == ImageSize;
        QCOMPARE(sentSince(mark), started ? "Start 2, Ping 2" : "Ping 1");
        QCOMPARE(status(), started ? "Connected. Flash erasing..." : statusBefore);
        QCOMPARE(progress(), started || button == "pButPostBuild" ? 0 : 37);
        QCOMPARE(describe("target.bin"), target);
    }

    void fileDialog() // Qt's dialog still reports a name after Cancel; it must not reach the field
    {
        QVERIFY(writeTestFile("chosen.bin", "c"));
        for (bool accept : {true, false}) {
            widget<QLineEdit>("pLineFileName")->setText("earlier.bin");
            bool wasFileDialog = false;
            ModalCloser closer([&](QWidget *modal) {
                wasFileDialog = qobject_cast<QFileDialog *>(modal) != nullptr;
                if (auto *nameBox = modal->findChild<QLineEdit *>("fileNameEdit"))
                    nameBox->setText(dir->filePath("chosen.bin"));
                if (auto *dialog = qobject_cast<QDialog *>(modal))
                    accept ? dialog->QDialog::accept() : dialog->reject();
            });
            click("pButSelectFile");
            QVERIFY(wasFileDialog);
            QCOMPARE(widget<QLineEdit>("pLineFileName")->text(),
                     accept ? dir->filePath("chosen.bin") : "earlier.bin");
        }
    }

    void postBuild_data()
    {
        QTest::addColumn<int>("failure");
        QTest::addColumn<int>("inputSize");
        QTest::addColumn<QString>("box"); // empty: none; "-": none, and nothing written
        const QString tooBig = FirmwareMessages::TooBig, notWritten = FirmwareMessages::NotWritten;
        QTest::newRow("3 bytes: written") << int(Written) << 3 << "";
        QTest::newRow("917501 bytes: very big") << int(Written) << BodySize + 1 << tooBig;
        QTest::newRow("write fails (file size limit)") << int(WriteFails) << 3 << notWritten;
        QTest::newRow("read-only folder: written in place") << int(ReadOnlyFolder) << 3 << "";
        QTest::newRow("target.bin is a folder") << int(TargetFolder) << 3 << notWritten;
        QTest::newRow("target.bin is a FIFO") << int(TargetFifo) << 3 << notWritten;
        QTest::newRow("read error (/proc/self/mem): silent") << int(ReadFails) << 3 << "-";
    }
    void postBuild()
    {
        QFETCH(int, failure);
        QFETCH(int, inputSize);
        QFETCH(QString, box);
        QVERIFY(writeTestFile("ok.bin", "abc"));
        QVERIFY(writeTestFile("raw.bin", QByteArray(inputSize, 'p')));
        postBuild("ok.bin"); // an earlier output, and progress at 100 for the failure to reset
        QCOMPARE(progress(), 100);
        if (failure == TargetFolder || failure == TargetFifo) {
            QVERIFY(QFile::remove("target.bin"));
            QVERIFY(failure == TargetFolder ? QDir().mkdir("target.bin")
                                            : mkfifo("target.bin", 0600) == 0);
        }
        if (failure == ReadFails) {
            QVERIFY(QFile::remove("raw.bin"));
            QVERIFY(QFile::link("/proc/self/mem", "raw.bin"));
        }
        if (failure == ReadOnlyFolder)
            QVERIFY(QFile::setPermissions(".", QFile::ReadOwner | QFile::ExeOwner));
        widget<QStatusBar>("statusbar")->clearMessage();
        const QByteArray before = describe("target.bin");
        const QStringList entries = QDir().entryList(QDir::AllEntries | QDir::Hidden);
        ModalCloser closer;
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limited{65536, saved.rlim_max}; // writes past 64 KiB fail with EFBIG, even as root
        if (failure == WriteFails)
            setrlimit(RLIMIT_FSIZE, &limited);
        if (failure != ReadOnlyFolder)
            postBuild("raw.bin");
        else // root (as in CI) writes into read-only folders: write as "nobody"
            QVERIFY(asUnprivileged({".", "target.bin"}, [&] {
                QVERIFY(!writeTestFile("probe", "p"));
                postBuild("raw.bin");
            }));
        setrlimit(RLIMIT_FSIZE, &saved);
        QCOMPARE(closer.seen, box.size() < 2 ? QStringList() : QStringList(box + "/0/0"));
        QCOMPARE(QDir().entryList(QDir::AllEntries | QDir::Hidden), entries); // no temporary left
        const bool written = box.isEmpty(); // in place where the folder is read-only
        const QByteArray image = buildFirmwareImage(QByteArray(inputSize, 'p'));
        QVERIFY(describe("target.bin") == (written ? image : before)); // not printed: 900 KB
        QCOMPARE(progress(), written ? 100 : 0);
        QCOMPARE(status(), written ? "Postbuild is completed successful" : QString());
    }

    void postBuildLeavesRunningUploadAlone()
    {
        const QByteArray image(ImageSize, 'u');
        QVERIFY(writeTestFile("upload.bin", image));
        QVERIFY(writeTestFile("raw.bin", "abc"));
        device->answers = 0; // the upload stays in erasing
        QVERIFY(connectToDevice());
        typeInto("pLineFileName", "upload.bin");
        click("pButStartUpload");
        postBuild("raw.bin");
        QCOMPARE(readTestFile("target.bin").size(), ImageSize);
        QCOMPARE(screen(), "LinkUp Erasing 100% [Stop] 'Postbuild is completed successful'");
        QVERIFY(probe().firmwareData() == image);
        QCOMPARE(sentSince(0), "Start 2, Ping 2"); // nothing more
    }
};

QTEST_MAIN(FilesTest)
#include "tst_files.moc"
