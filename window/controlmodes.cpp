// The fixed combinations of enabled controls, caption, progress and status that the link
// supervision and the operation state machine switch between.

#include "window/mainwindow.h"

#include "core/flashprocedure.h"
#include "window/mainwindowui.h"
#include "window/windowstate.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

void MainWindow::setDisconnectedMode()
{
    linkState = LinkDown;
    filterSenders();
    ui->pButConnectToggle->setText(tr("Connect"));
    setStartAppAllowed(false);
    ui->pButStartUpload->setEnabled(false);
    ui->pButStop->setEnabled(false);
    ui->pButCheckApplication->setEnabled(false);
    ui->pButStartApplication->setEnabled(false);
    ui->pLineEditIP->setEnabled(true);
    ui->pLineEditPORT->setEnabled(true);
    showStatus(QStringLiteral("Disconnected"));
}

void MainWindow::setConnectedMode()
{
    linkState = LinkUp;
    ui->pButConnectToggle->setText(tr("Disconnect"));
    ui->pButStartUpload->setEnabled(true);
    ui->pButStop->setEnabled(true);
    ui->pButCheckApplication->setEnabled(true);
    ui->pButStartApplication->setEnabled(false);
    // A failure verdict stays readable: replaced by "Connected" it would look like a healthy idle
    // link to an operator who glanced away. It already says that the link is up.
    const QString shown = ui->statusbar->currentMessage();
    if (shown != verdictStatus(FlashProcedure::Verdict::UploadFailed) &&
        shown != verdictStatus(FlashProcedure::Verdict::CheckFailed))
        showStatus(QStringLiteral("Connected"));
}

void MainWindow::resetToConnecting()
{
    ui->progressBar->setValue(0);
    ui->pButStartUpload->setEnabled(false);
    ui->pButStop->setEnabled(false);
    ui->pButCheckApplication->setEnabled(false);
    ui->pButStartApplication->setEnabled(false);
    uploadStage = StageIdle;
    // A reply with the wrong sequence before any keep-alive must not claim a link.
    const bool wasUp = linkState == LinkUp;
    linkState = LinkConnecting;
    showStatus(wasUp ? QStringLiteral("Connected") : QStringLiteral("Connecting..."));
}

void MainWindow::setStartAppAllowed(bool allowed)
{
    startAppAllowed = allowed;
    if (allowed)
        enableStartApplication();
    else
        ui->pButStartApplication->setEnabled(false);
}

void MainWindow::enableStartApplication()
{
    ui->pButStartApplication->setEnabled(true);
}

void MainWindow::finishOperation()
{
    setStartAppAllowed(true);
    ui->pButStartUpload->setEnabled(true);
    ui->pButCheckApplication->setEnabled(true);
    uploadStage = StageIdle;
}

void MainWindow::abortOperation()
{
    setStartAppAllowed(false);
    resetToConnecting();
}

void MainWindow::showProgress(int percent)
{
    // QProgressBar repaints synchronously at each visible step: over a fast link that is most
    // of the window's work per block. Paint at once, then at most once per interval.
    if (pProgressPaintTimer->isActive())
        ui->progressBar->setUpdatesEnabled(false);
    else
        pProgressPaintTimer->start();
    ui->progressBar->setValue(percent);
}

QString MainWindow::verdictStatus(FlashProcedure::Verdict verdict)
{
    return QStringLiteral("Connected. ") + QLatin1String(FlashProcedure::verdictText(verdict));
}

void MainWindow::showStatus(const QString &text)
{
    // Every block of an upload repeats its text; repainting the same text is pure cost.
    if (ui->statusbar->currentMessage() != text)
        ui->statusbar->showMessage(text, 0);
}
