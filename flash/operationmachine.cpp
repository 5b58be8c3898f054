// The operation state machine: clicks, classified replies and timer expiries in, commands,
// progress and status texts out. One command is outstanding at a time.

#include "mainwindow/mainwindow.h"

#include "flash/operationevents.h"
#include "image/firmwarefile.h"
#include "image/firmwareimage.h"
#include "link/linkstate.h"
#include "link/protocol.h"
#include "mainwindow/mainwindowui.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

quint32 uploadOffset = 0;

void MainWindow::handleEvent(quint8 event)
{
    switch (event) {
    case EvSequenceMismatch:
        ui->progressBar->setValue(0);
        sendCommand(CmdNotice, "End", nullptr, 0, true);
        resetToConnecting();
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
        // Abandoned locally: the device is not told, its late reply meets StageIdle.
        abortOperation();
        showStatus(QStringLiteral("Connected. Stoping..."));
        return;
    }
    switch (uploadStage) {
    case StageErasing:
        if (event == EvReplyOk && firmwareData.size() >= WriteBlockSize) {
            sendNextBlock();
            uploadStage = StageWriting;
        } else if (event == EvReplyFail) {
            abortUpload();
        }
        break;
    case StageWriting:
        if (event == EvReplyOk)
            sendNextBlockOrEnd();
        else if (event == EvReplyFail)
            abortUpload();
        break;
    case StageChecking:
        if (event == EvReplyOk) {
            finishOperation();
            showStatus(QStringLiteral("Connected. Checked successful!"));
        } else if (event == EvReplyFail) {
            abortOperation();
            showStatus(QStringLiteral("Connected. Application is wrong!"));
        }
        break;
    case StageFinishing:
        if (event == EvReplyOk) {
            finishOperation();
            showStatus(QStringLiteral("Connected. Uploading has been completed successful!"));
        } else if (event == EvReplyFail) {
            abortUpload();
        }
        break;
    }
}

void MainWindow::handleIdleEvent(quint8 event)
{
    switch (event) {
    case EvUpload:
        startUpload();
        break;
    case EvStartApp:
        if (startAppAllowed) {
            sendCommand(CmdNotice, "StartApplication", nullptr, 0, true);
            showStatus(QStringLiteral("Connected. Application should be started."));
        }
        break;
    case EvCheck:
        startCheck();
        break;
    case EvReplyOk:
    case EvReplyFail:
        // A late answer to an abandoned command: tell the device nothing waits for it.
        ui->progressBar->setValue(0);
        sendCommand(CmdNotice, "End", nullptr, 0, true);
        break;
    }
}

void MainWindow::abortUpload()
{
    // Also for a refused "Start" or "Write": waiting for a success the device will never send
    // would leave the operator's upload hanging.
    abortOperation();
    showStatus(QStringLiteral("Connected. Uploaded with error :("));
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
    sendCommand(CmdRequest, "Start", nullptr, 0, true);
    ui->pButStartUpload->setEnabled(false);
    ui->pButCheckApplication->setEnabled(false);
    showStatus(QStringLiteral("Connected. Flash erasing..."));
    uploadStage = StageErasing;
}

void MainWindow::sendNextBlockOrEnd()
{
    const quint32 size = quint32(firmwareData.size());
    const int percent = uploadOffset == size ? 100 : int(uploadOffset * 100u / size);
    // The command leaves first: the widgets are updated while the device works on it.
    if (uploadOffset >= size) {
        sendCommand(CmdRequest, "End", nullptr, 0, true);
        showProgress(percent);
        showStatus(QStringLiteral("Connected. Checking..."));
        uploadStage = StageFinishing;
        return;
    }
    sendNextBlock();
    showProgress(percent);
}

void MainWindow::sendNextBlock()
{
    const int blockLength = qMin(WriteBlockSize, firmwareData.size() - int(uploadOffset));
    sendCommand(CmdRequest, "Write", firmwareData.constData() + uploadOffset, blockLength, true);
    uploadOffset += quint32(blockLength);
    showStatus(QStringLiteral("Connected. Uploading..."));
}

void MainWindow::startCheck()
{
    setStartAppAllowed(false);
    ui->pButStartUpload->setEnabled(false);
    ui->pButCheckApplication->setEnabled(false);
    sendCommand(CmdRequest, "Check", nullptr, 0, true);
    showStatus(QStringLiteral("Connected. Checking..."));
    uploadStage = StageChecking;
}
