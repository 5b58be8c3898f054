// "Start postbuild": a raw build output becomes the uploadable "target.bin".

#include "mainwindow/mainwindow.h"

#include "image/firmwarefile.h"
#include "image/firmwareimage.h"
#include "mainwindow/mainwindowui.h"

#include <QLineEdit>
#include <QProgressBar>

void MainWindow::on_pButPostBuild_clicked()
{
    const QString name = ui->pLineFileName->text();
    ui->progressBar->setValue(0);
    if (!checkFirmwareFile(name))
        return;
    switch (runPostBuild(name, QStringLiteral("target.bin"))) {
    case PostBuildResult::Written:
        ui->progressBar->setValue(100);
        showStatus(QStringLiteral("Postbuild is completed successful"));
        break;
    case PostBuildResult::InputTooBig:
        showFileMessage(FirmwareMessages::TooBig);
        break;
    case PostBuildResult::WriteFailed:
        showFileMessage(FirmwareMessages::NotWritten);
        break;
    case PostBuildResult::InputNotOpened:
    case PostBuildResult::OutputNotOpened:
        break; // files that cannot be opened are passed over silently
    }
}
