// "Start postbuild": a raw build output becomes the uploadable "target.bin".

#include "mainwindow/mainwindow.h"

#include "core/firmwarefile.h"
#include "core/firmwareimage.h"
#include "core/logging.h"
#include "mainwindow/mainwindowui.h"

#include <QLineEdit>
#include <QProgressBar>

void MainWindow::on_pButPostBuild_clicked()
{
    const QString name = ui->pLineFileName->text();
    ui->progressBar->setValue(0);
    if (!checkFirmwareFile(name))
        return;
    QString reason;
    const PostBuildResult result = runPostBuild(name, QStringLiteral("target.bin"), &reason);
    qCDebug(lcFile) << "post-build of" << name << "into target.bin:" << int(result) << reason;
    switch (result) {
    case PostBuildResult::Written:
        ui->progressBar->setValue(100);
        showStatus(QStringLiteral("Postbuild is completed successful"));
        break;
    case PostBuildResult::InputTooBig:
        showFileMessage(FirmwareMessages::TooBig);
        break;
    case PostBuildResult::OutputNotOpened:
    case PostBuildResult::WriteFailed:
        showFileMessage(FirmwareMessages::NotWritten);
        break;
    case PostBuildResult::InputNotOpened:
        break; // an input that cannot be opened is passed over silently
    }
}
