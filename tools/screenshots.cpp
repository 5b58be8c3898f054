// Grabs the window disconnected, connected and mid-upload for the documentation. The window
// talks only to a simulator it starts on 127.0.0.1.

#include "image/firmwareimage.h"
#include "mainwindow/mainwindow.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <cstdio>
#include <functional>

namespace {

bool waitFor(const std::function<bool()> &condition, int timeoutMs = 10000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

bool grab(QWidget &window, const QString &path)
{
    QCoreApplication::processEvents();
    return window.grab().save(path);
}

int fail(const char *what)
{
    std::fprintf(stderr, "bootloader-screenshots: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QString outDir =
        QDir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs")).absolutePath();
    QDir().mkpath(outDir);

    MainWindow window;
    window.show();
    auto *status = window.findChild<QStatusBar *>(QStringLiteral("statusbar"));
    auto *progress = window.findChild<QProgressBar *>(QStringLiteral("progressBar"));
    auto *address = window.findChild<QLineEdit *>(QStringLiteral("pLineEditIP"));
    auto *port = window.findChild<QLineEdit *>(QStringLiteral("pLineEditPORT"));
    auto *file = window.findChild<QLineEdit *>(QStringLiteral("pLineFileName"));
    if (!grab(window, outDir + QStringLiteral("/window.png")))
        return fail("cannot write the disconnected screenshot");

    QProcess sim;
    sim.start(QStringLiteral(BOOTLOADER_SIM_PATH),
              {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--delay-ms"),
               QStringLiteral("1"), QStringLiteral("--quiet")});
    if (!sim.waitForReadyRead(5000))
        return fail("the simulator did not start");
    const QByteArray banner = sim.readLine().trimmed();
    const QByteArray simPort = banner.mid(banner.lastIndexOf(':') + 1);

    // Only loopback: the field must hold 127.0.0.1 after editing, or nothing is sent.
    address->setText(QStringLiteral("127.0.0.1"));
    QMetaObject::invokeMethod(&window, "on_pLineEditIP_editingFinished");
    port->setText(QString::fromLatin1(simPort));
    QMetaObject::invokeMethod(&window, "on_pLineEditPORT_editingFinished");
    if (address->text() != QLatin1String("127.0.0.1") || port->text() != QLatin1String(simPort))
        return fail("could not point the window at the simulator");
    window.findChild<QPushButton *>(QStringLiteral("pButConnectToggle"))->click();
    if (!waitFor([&] { return status->currentMessage() == QLatin1String("Connected"); }))
        return fail("no link to the simulator");
    if (!grab(window, outDir + QStringLiteral("/window-connected.png")))
        return fail("cannot write the connected screenshot");

    QTemporaryDir work;
    QDir::setCurrent(work.path()); // a short relative name reads better in the picture
    if (!writeFileAtomically(QStringLiteral("target.bin"),
                             buildFirmwareImage(QByteArray(4096, '\x5A'))))
        return fail("cannot write the sample image");
    file->setText(QStringLiteral("target.bin"));
    window.findChild<QPushButton *>(QStringLiteral("pButStartUpload"))->click();
    if (!waitFor([&] { return progress->value() >= 40; }))
        return fail("the upload did not progress");
    if (!grab(window, outDir + QStringLiteral("/window-uploading.png")))
        return fail("cannot write the upload screenshot");
    waitFor([&] { return status->currentMessage().contains(QLatin1String("successful")); });

    sim.terminate();
    sim.waitForFinished(3000);
    return 0;
}
