// Grabs the window disconnected, connected and mid-upload for the documentation. The window
// talks only to a simulator it starts on 127.0.0.1:31120, the port the pictures show. Each
// run gives the same bytes: the caret does not blink, and the upload picture is taken at the
// moment the bar first reaches 40 %, whatever the timing.

#include "core/firmwareimage.h"
#include "core/postbuildfile.h"
#include "window/mainwindow.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <cstdio>
#include <functional>

namespace {

const char SimPort[] = "31120";
constexpr int UploadPicturePercent = 40;

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

// QImage's PNG writer stores no time stamp, so equal pixels give equal files.
bool grab(QWidget &window, const QString &path)
{
    return window.grab().toImage().save(path, "PNG");
}

int fail(const QString &what)
{
    std::fprintf(stderr, "bootloader-screenshots: %s\n", qPrintable(what));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setCursorFlashTime(0); // a steady caret: a blinking one differs run to run
    const QString outDir =
        QDir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs")).absolutePath();
    QDir().mkpath(outDir);

    QProcess sim;
    sim.start(QStringLiteral(BOOTLOADER_SIM_PATH),
              {QStringLiteral("--bind"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
               QLatin1String(SimPort), QStringLiteral("--quiet")});
    if (!sim.waitForReadyRead(5000)) {
        sim.waitForFinished(1000);
        return fail(QStringLiteral("the simulator did not start on 127.0.0.1:%1 (is the port "
                                   "taken, by scripts/run for instance?): %2")
                        .arg(QLatin1String(SimPort),
                             QString::fromLocal8Bit(sim.readAllStandardError().trimmed())));
    }
    sim.readLine();

    MainWindow window;
    window.show();
    auto *status = window.findChild<QStatusBar *>(QStringLiteral("statusbar"));
    auto *progress = window.findChild<QProgressBar *>(QStringLiteral("progressBar"));
    auto *address = window.findChild<QLineEdit *>(QStringLiteral("pLineEditIP"));
    auto *port = window.findChild<QLineEdit *>(QStringLiteral("pLineEditPORT"));
    auto *file = window.findChild<QLineEdit *>(QStringLiteral("pLineFileName"));
    QCoreApplication::processEvents();
    if (!grab(window, outDir + QStringLiteral("/window.png")))
        return fail(QStringLiteral("cannot write the disconnected screenshot"));

    // Only loopback: the field must hold 127.0.0.1 after editing, or nothing is sent.
    address->setText(QStringLiteral("127.0.0.1"));
    QMetaObject::invokeMethod(&window, "on_pLineEditIP_editingFinished");
    port->setText(QLatin1String(SimPort));
    QMetaObject::invokeMethod(&window, "on_pLineEditPORT_editingFinished");
    if (address->text() != QLatin1String("127.0.0.1") || port->text() != QLatin1String(SimPort))
        return fail(QStringLiteral("could not point the window at the simulator"));
    window.findChild<QPushButton *>(QStringLiteral("pButConnectToggle"))->click();
    if (!waitFor([&] { return status->currentMessage() == QLatin1String("Connected"); }))
        return fail(QStringLiteral("no link to the simulator"));
    QCoreApplication::processEvents();
    if (!grab(window, outDir + QStringLiteral("/window-connected.png")))
        return fail(QStringLiteral("cannot write the connected screenshot"));

    QTemporaryDir work;
    QDir::setCurrent(work.path()); // a short relative name reads better in the picture
    if (!writeFileAtomically(QStringLiteral("target.bin"),
                             buildFirmwareImage(QByteArray(4096, '\x5A'))))
        return fail(QStringLiteral("cannot write the sample image"));
    file->setText(QStringLiteral("target.bin"));

    // The window reads one reply per readyRead and moves the bar by under 1 % per block, so
    // this slot, connected after the window's own, sees the bar reach exactly 40 % once.
    auto *socket = window.findChild<QUdpSocket *>();
    if (!socket)
        return fail(QStringLiteral("the window has no socket"));
    bool grabbed = false;
    bool saved = false;
    QObject::connect(socket, &QUdpSocket::readyRead, &window, [&] {
        if (grabbed || progress->value() < UploadPicturePercent)
            return;
        grabbed = true;
        progress->setUpdatesEnabled(true); // the window paints the bar at most every 40 ms
        saved = grab(window, outDir + QStringLiteral("/window-uploading.png"));
    });
    window.findChild<QPushButton *>(QStringLiteral("pButStartUpload"))->click();
    if (!waitFor([&] { return grabbed; }))
        return fail(QStringLiteral("the upload did not progress"));
    if (!saved)
        return fail(QStringLiteral("cannot write the upload screenshot"));
    waitFor([&] { return status->currentMessage().contains(QLatin1String("successful")); });

    sim.terminate();
    sim.waitForFinished(3000);
    return 0;
}
