#include "flash/operationevents.h"
#include "image/firmwarefile.h"
#include "image/firmwareimage.h"
#include "support/fakedevice.h"
#include "support/modalcloser.h"
#include "support/strictmessages.h"
#include "support/windowdriver.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace WindowDriver;

namespace {
// What to put at the row's name before the click.
enum Content : int { NoFile = -1, Directory = -2, Unreadable = -3 };

constexpr int NoBox = -1;
const QString SelectFile = FirmwareMessages::SelectFile;
const QString NotFound = FirmwareMessages::NotFound;
} // namespace

// Which file names and files the upload and the post-build accept, and the file dialog.
class FirmwareFileTest : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    QString startDir;
    std::unique_ptr<MainWindow> window;

    QLineEdit *field() const { return lineEdit(*window, "pLineFileName"); }
    void click(const char *name) { QTest::mouseClick(button(*window, name), Qt::LeftButton); }

    bool writeFile(const QString &name, const QByteArray &bytes)
    {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }

    // Makes the row's file: `content` is a size in bytes or one of Content.
    bool create(const QString &name, int content)
    {
        if (content == NoFile || name.isEmpty())
            return true;
        if (content == Directory)
            return QDir(dir.path()).mkdir(name);
        const QByteArray bytes = content == FirmwareImageSize || content == Unreadable
                                     ? buildFirmwareImage(QByteArray(1000, 'r'))
                                     : QByteArray(content, 'r');
        if (!writeFile(name, bytes))
            return false;
        return content != Unreadable ||
               QFile::setPermissions(dir.filePath(name), QFileDevice::Permissions());
    }

    static void addNameRows()
    {
        QTest::newRow("empty name")
            << "" << false << int(NoFile) << SelectFile << int(QMessageBox::Warning) << false;
        for (const char *name : {"firmware.BIN", "firmware.Bin", "image.bin.bak", "x.bin "})
            QTest::addRow("suffix: \"%s\"", name) << name << true << FirmwareImageSize << SelectFile
                                                  << int(QMessageBox::Warning) << false;
        // Relative on purpose: the check is on the text, and an absolute path has a folder
        // before ".bin".
        QTest::newRow("only \".bin\"") << ".bin" << false << FirmwareImageSize << SelectFile
                                       << int(QMessageBox::Warning) << false;
        QTest::newRow("missing file") << "nothere.bin" << true << int(NoFile) << NotFound
                                      << int(QMessageBox::NoIcon) << false;
    }

private slots:
    void initTestCase()
    {
        StrictMessages::install();
        QVERIFY(dir.isValid());
        startDir = QDir::currentPath();
        // Relative names and the post-build's "target.bin" then stay inside the temporary folder.
        QVERIFY(QDir::setCurrent(dir.path()));
    }
    void cleanupTestCase() { QDir::setCurrent(startDir); }

    void init() { window = std::make_unique<MainWindow>(); }

    void cleanup()
    {
        window.reset();
        for (const QString &entry :
             QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
            QFile::remove(dir.filePath(entry));
            QDir(dir.path()).rmdir(entry);
        }
        // The offscreen platform warns whenever a dialog is shown; that is not ours.
        QStringList warnings = StrictMessages::take();
        warnings.removeAll("This plugin does not support propagateSizeHints()");
        QCOMPARE(warnings, QStringList());
    }

    void uploadChecksFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("absolute");
        QTest::addColumn<int>("content");
        QTest::addColumn<QString>("box"); // empty: no box
        QTest::addColumn<int>("icon");
        QTest::addColumn<bool>("started");
        addNameRows();
        const QString wrongSize = FirmwareMessages::WrongSize;
        QTest::newRow("\".bin\" twice")
            << "a.bin.bin" << true << FirmwareImageSize << QString() << NoBox << true;
        QTest::newRow("exact image size")
            << "firmware.bin" << true << FirmwareImageSize << QString() << NoBox << true;
        for (int size : {0, FirmwareImageSize - 1, FirmwareImageSize + 1})
            QTest::addRow("%d bytes", size)
                << "firmware.bin" << true << size << wrongSize << int(QMessageBox::NoIcon) << false;
        QTest::newRow("unreadable file")
            << "locked.bin" << true << int(Unreadable) << QString() << NoBox << false;
        QTest::newRow("folder named like a firmware file")
            << "x.bin" << true << int(Directory) << QString() << NoBox << false;
    }
    void uploadChecksFile()
    {
        QFETCH(QString, name);
        QFETCH(bool, absolute);
        QFETCH(int, content);
        QFETCH(QString, box);
        QFETCH(int, icon);
        QFETCH(bool, started);
        QVERIFY(create(name, content));
        if (content == Unreadable && QFile(dir.filePath(name)).open(QIODevice::ReadOnly))
            QSKIP("permissions do not stop this user (root) from reading");

        FakeDevice device;
        device.answerRequests = false;
        QVERIFY(connectTo(*window, device));
        field()->setText(absolute ? dir.filePath(name) : name);
        ModalCloser closer;
        click("pButStartUpload");

        QCOMPARE(closer.seen.size(), box.isEmpty() ? 0 : 1);
        if (!box.isEmpty()) {
            QCOMPARE(closer.seen.first().text, box);
            QCOMPARE(int(closer.seen.first().icon), icon);
            QVERIFY(!closer.seen.first().hadParent);
        }
        const MainWindowProbe probe(*window);
        if (started) {
            QTRY_COMPARE(device.count("Start"), 1);
            QCOMPARE(status(*window), QString("Connected. Flash erasing..."));
        } else {
            QTest::qWait(100);
            QCOMPARE(device.count("Start"), 0);
            QCOMPARE(probe.uploadStage(), int(StageIdle));
            QVERIFY(probe.firmwareData().isEmpty());
            QCOMPARE(status(*window), QString("Connected"));
        }
    }

    void postBuildChecksName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("absolute");
        QTest::addColumn<int>("content");
        QTest::addColumn<QString>("box");
        QTest::addColumn<int>("icon");
        QTest::addColumn<bool>("started");
        addNameRows();
    }
    void postBuildChecksName()
    {
        QFETCH(QString, name);
        QFETCH(bool, absolute);
        QFETCH(int, content);
        QFETCH(QString, box);
        QFETCH(int, icon);
        QVERIFY(create(name, content));
        // A good post-build first, so the progress bar has something to reset and
        // "target.bin" something to lose.
        QVERIFY(writeFile("build.bin", QByteArray(300, 'b')));
        field()->setText(dir.filePath("build.bin"));
        click("pButPostBuild");
        QCOMPARE(progress(*window), 100);
        QFile target(dir.filePath("target.bin"));
        QVERIFY(target.open(QIODevice::ReadOnly));
        const QByteArray before = target.readAll();
        target.close();

        field()->setText(absolute ? dir.filePath(name) : name);
        ModalCloser closer;
        click("pButPostBuild");
        QCOMPARE(closer.seen.size(), 1);
        QCOMPARE(closer.seen.first().text, box);
        QCOMPARE(int(closer.seen.first().icon), icon);
        QVERIFY(!closer.seen.first().hadParent);
        QCOMPARE(progress(*window), 0);
        QVERIFY(target.open(QIODevice::ReadOnly));
        QVERIFY(target.readAll() == before);
    }

    void fileDialog_data()
    {
        QTest::addColumn<QString>("typed"); // into the dialog's name box; empty: nothing
        QTest::addColumn<bool>("accept");
        QTest::addColumn<QString>("expected"); // the field afterwards; empty: unchanged
        QTest::newRow("existing file chosen") << "chosen.bin" << true << "chosen.bin";
        QTest::newRow("new name chosen") << "new.bin" << true << "new.bin";
        // Qt's dialog still reports its folder after Cancel; that must not reach the field.
        QTest::newRow("cancelled") << QString() << false << QString();
        QTest::newRow("cancelled after typing") << "chosen.bin" << false << QString();
    }
    void fileDialog()
    {
        QFETCH(QString, typed);
        QFETCH(bool, accept);
        QFETCH(QString, expected);
        QVERIFY(writeFile("chosen.bin", QByteArray(10, 'c')));
        field()->setText("earlier.bin");

        QWidget *dialogParent = nullptr;
        bool wasFileDialog = false;
        ModalCloser closer([&](QWidget *modal) {
            auto *dialog = qobject_cast<QFileDialog *>(modal);
            wasFileDialog = dialog != nullptr;
            dialogParent = modal->parentWidget();
            auto *nameBox = modal->findChild<QLineEdit *>("fileNameEdit");
            if (dialog && nameBox && !typed.isEmpty())
                nameBox->setText(dir.filePath(typed));
            if (dialog && accept)
                dialog->QDialog::accept();
            else if (auto *other = qobject_cast<QDialog *>(modal))
                other->reject();
        });
        click("pButSelectFile");
        QVERIFY(wasFileDialog);
        QCOMPARE(dialogParent, static_cast<QWidget *>(window.get()));
        QCOMPARE(field()->text(),
                 expected.isEmpty() ? QString("earlier.bin") : dir.filePath(expected));
    }
};

QTEST_MAIN(FirmwareFileTest)
#include "tst_firmwarefile.moc"
