#include "core/flashprocedure.h"
#include "core/firmwarefile.h"
#include "core/firmwareimage.h"
#include "support/fakedevice.h"
#include "support/modalcloser.h"
#include "support/strictmessages.h"
#include "support/testfiles.h"
#include "support/windowdriver.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace WindowDriver;

namespace {
// What to put at the row's name before the click: a size in bytes or one of these.
enum Content : int { NoFile = -1, Directory = -2, Unreadable = -3 };

bool create(const QString &name, int content)
{
    if (content == NoFile || content == Directory)
        return content == NoFile || QDir().mkdir(name);
    return writeTestFile(name,
                         QByteArray(content == Unreadable ? FirmwareImageSize : content, 'r')) &&
           (content != Unreadable || QFile::setPermissions(name, QFileDevice::Permissions()));
}
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

private slots:
    void initTestCase()
    {
        StrictMessages::install();
        startDir = QDir::currentPath();
        // Names are relative to one temporary folder (files stay between rows; none collide), and
        // so is the post-build's "target.bin".
        QVERIFY(dir.isValid() && QDir::setCurrent(dir.path()));
    }
    void cleanupTestCase() { QDir::setCurrent(startDir); }
    void init() { window = std::make_unique<MainWindow>(); }
    void cleanup()
    {
        window.reset();
        QCOMPARE(StrictMessages::take(), QStringList());
    }

    void fileChecks_data()
    {
        QTest::addColumn<QByteArray>("button");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("content");
        QTest::addColumn<QString>("box"); // empty: none
        const QString select = FirmwareMessages::SelectFile, none;
        const int image = FirmwareImageSize;
        for (const char *action : {"pButStartUpload", "pButPostBuild"}) {
            const auto row = [&](const char *tag) -> QTestData & {
                return QTest::addRow("%s: %s", action + 4, tag) << QByteArray(action);
            };
            row("empty name") << "" << int(NoFile) << select;
            row("upper-case suffix") << "firmware.BIN" << image << select;
            row("only \".bin\"") << ".bin" << image << select;
            row("trailing space") << "x.bin " << image << select;
            row("missing file") << "nothere.bin" << int(NoFile) << FirmwareMessages::NotFound;
            if (qstrcmp(action, "pButPostBuild") == 0)
                break;
            row("\".bin\" twice passes") << "a.bin.bin" << image << none;
            row("917504 bytes pass") << "firmware.bin" << image << none;
            for (int size : {0, image - 1, image + 1})
                row(qPrintable(QString("%1 bytes").arg(size)))
                    << "firmware.bin" << size << FirmwareMessages::WrongSize;
            row("unreadable file") << "locked.bin" << int(Unreadable) << none;
            row("folder named x.bin") << "x.bin" << int(Directory) << none;
        }
    }
    void fileChecks()
    {
        QFETCH(QByteArray, button);
        QFETCH(QString, name);
        QFETCH(int, content);
        QFETCH(QString, box);
        QVERIFY(create(name, content));
        if (content == Unreadable && QFile(name).open(QIODevice::ReadOnly))
            QSKIP("permissions do not stop this user (root) from reading");
        FakeDevice device;
        device.answerRequests = false;
        QVERIFY(connectTo(*window, device));
        if (button == "pButPostBuild") { // so the progress bar has something to reset
            QVERIFY(writeTestFile("build.bin", "b"));
            field()->setText("build.bin");
            click("pButPostBuild");
            QCOMPARE(progress(*window), 100);
        }
        const QByteArray target = readTestFile("target.bin");
        const QString statusBefore = status(*window);
        field()->setText(name);
        ModalCloser closer;
        click(button.constData());
        QStringList seen; // text, icon, parent
        for (const ModalCloser::Seen &shown : closer.seen)
            seen << QString("%1/%2/%3").arg(shown.text).arg(shown.icon).arg(shown.hadParent);
        // Only the request to select a file is a warning; no box has a parent.
        const int icon = box == FirmwareMessages::SelectFile ? QMessageBox::Warning : 0;
        QCOMPARE(seen,
                 box.isEmpty() ? QStringList() : QStringList(box + QString("/%1/0").arg(icon)));
        const bool started = box.isEmpty() && content == FirmwareImageSize;
        QTest::qWait(50);
        QTRY_COMPARE(device.count("Start"), int(started));
        QCOMPARE(MainWindowProbe(*window).uploadStage(), int(started ? StageErasing : StageIdle));
        QCOMPARE(status(*window), started ? "Connected. Flash erasing..." : statusBefore);
        QCOMPARE(progress(*window), 0);
        QVERIFY(readTestFile("target.bin") == target);
    }

    void fileDialog() // Qt's dialog still reports a name after Cancel; it must not reach the field
    {
        QVERIFY(writeTestFile("chosen.bin", "c"));
        for (bool accept : {true, false}) {
            field()->setText("earlier.bin");
            bool wasFileDialog = false;
            ModalCloser closer([&](QWidget *modal) {
                wasFileDialog = qobject_cast<QFileDialog *>(modal) != nullptr;
                if (auto *nameBox = modal->findChild<QLineEdit *>("fileNameEdit"))
                    nameBox->setText(dir.filePath("chosen.bin"));
                if (auto *dialog = qobject_cast<QDialog *>(modal))
                    accept ? dialog->QDialog::accept() : dialog->reject();
            });
            click("pButSelectFile");
            QVERIFY(wasFileDialog);
            QCOMPARE(field()->text(), accept ? dir.filePath("chosen.bin") : "earlier.bin");
        }
    }
};

QTEST_MAIN(FirmwareFileTest)
#include "tst_firmwarefile.moc"
