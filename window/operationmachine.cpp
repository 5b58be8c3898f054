// The operation state machine: clicks, classified replies and timer expiries in, commands,
// progress and status texts out. What a reply means and what goes out next is the flash
// procedure's; this file carries it out on the window. One command is outstanding at a time.

#include "window/mainwindow.h"

#include "core/firmwarefile.h"
#include "core/firmwareimage.h"
#include "core/flashprocedure.h"
#include "core/logging.h"
#include "core/protocol.h"
#include "window/mainwindowui.h"
#include "window/windowstate.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

quint32 uploadOffset = 0;

void MainWindow::handleEvent(quint8 event)
{
    switch (event) {
    case EvSequenceMismatch: // the device has been sent an "End" notice
        ui->progressBar->setValue(0);
        resetToConnecting();
        return;
    case EvStrayReply: // a late answer to an abandoned command, or one after Disconnect
        if (linkState != LinkDown)
            ui->progressBar->setValue(0);
        return;
    case EvKeepAlive:
    case EvPingTick:
    case EvLinkTimeout:
        handleLinkEvent(event);
        return;
    default:
        if (linkState != LinkDown)
            handleStageEvent(event);
        return;
    }
}

void MainWindow::handleStageEvent(quint8 event)
{
    if (uploadStage == StageIdle) {
        handleIdleEvent(event);
        return;
    }
    if (event == EvStop) {
        qCDebug(lcFlash) << "stopped in" << FlashProcedure::stageName(UploadStage(uploadStage));
        // Abandoned locally: the device's late reply meets StageIdle and draws an "End" notice.
        abortOperation();
        showStatus(QStringLiteral("Connected. Stoping..."));
        return;
    }
    if (event != EvReplyOk && event != EvReplyFail)
        return; // the operation buttons are off while one runs
    const FlashProcedure::Step step = FlashProcedure::onReply(
        UploadStage(uploadStage), event == EvReplyOk, uploadOffset, firmwareData.size());
    // The command leaves first: the widgets are updated while the device works on it.
    switch (step.action) {
    case FlashProcedure::Action::Wait:
        return;
    case FlashProcedure::Action::SendBlock:
        sendNextBlock();
        break;
    case FlashProcedure::Action::SendEnd:
        sendCommand(CmdRequest, CommandName::End, nullptr, 0, true);
        showStatus(QStringLiteral("Connected. Checking..."));
        break;
    case FlashProcedure::Action::Finish:
        qCDebug(lcFlash) << "verdict in" << FlashProcedure::stageName(UploadStage(uploadStage))
                         << FlashProcedure::verdictText(step.verdict);
        if (FlashProcedure::isFailure(step.verdict))
            abortOperation();
        else
            finishOperation();
        showStatus(verdictStatus(step.verdict));
        return;
    }
    if (step.percent >= 0)
        showProgress(step.percent);
    if (uploadStage != step.stage)
        qCDebug(lcFlash) << "stage" << FlashProcedure::stageName(UploadStage(uploadStage)) << "->"
                         << FlashProcedure::stageName(step.stage);
    uploadStage = step.stage;
}

void MainWindow::handleIdleEvent(quint8 event)
{
    switch (event) {
    case EvUpload:
        startUpload();
        break;
    case EvStartApp:
        if (startAppAllowed) {
            sendCommand(CmdNotice, CommandName::StartApplication, nullptr, 0, true);
            showStatus(QStringLiteral("Connected. Application should be started."));
        }
        break;
    case EvCheck:
        startCheck();
        break;
    }
}

void MainWindow::startUpload()
{
    firmwareData.clear();
    const QString name = ui->pLineFileName->text();
    if (!checkFirmwareFile(name))
        return;
    QByteArray image;
    switch (readUploadImage(name, &image)) {
    case ImageRead::NotOpened:
        return;
    case ImageRead::WrongSize:
        showFileMessage(FirmwareMessages::WrongSize);
        return;
    case ImageRead::Loaded:
        break;
    }
    uploadOffset = 0;
    ui->progressBar->setValue(0);
    setStartAppAllowed(false);
    firmwareData = std::move(image);
    sendCommand(CmdRequest, CommandName::Start, nullptr, 0, true);
    ui->pButStartUpload->setEnabled(false);
    ui->pButCheckApplication->setEnabled(false);
    showStatus(QStringLiteral("Connected. Flash erasing..."));
    uploadStage = StageErasing;
    qCDebug(lcFlash) << "upload of" << name << "started";
}

void MainWindow::sendNextBlock()
{
    const FlashProcedure::Block block =
        FlashProcedure::takeBlock(&uploadOffset, firmwareData.size());
    sendCommand(CmdRequest, CommandName::Write, firmwareData.constData() + block.offset,
                block.length, true);
    showStatus(QStringLiteral("Connected. Uploading..."));
}

void MainWindow::startCheck()
{
    setStartAppAllowed(false);
    ui->pButStartUpload->setEnabled(false);
    ui->pButCheckApplication->setEnabled(false);
    sendCommand(CmdRequest, CommandName::Check, nullptr, 0, true);
    showStatus(QStringLiteral("Connected. Checking..."));
    uploadStage = StageChecking;
    qCDebug(lcFlash) << "check started";
}
