// "Start postbuild": a raw build output becomes the uploadable "target.bin".

#include "window/mainwindow.h"

#include "core/firmwarefile.h"
#include "core/firmwareimage.h"
#include "core/logging.h"
#include "core/postbuildfile.h"
#include "window/mainwindowui.h"

#include <QLineEdit>
#include <QProgressBar>

void MainWindow::on_pButPostBuild_clicked()
{
    const QString name = ui->pLineFileName->text();
    ui->progressBar->setValue(0);
    if (!checkFirmwareFile(name))
        return;
    QString reason;
    switch (runPostBuild(name, QStringLiteral("target.bin"), &reason)) {
    case PostBuildResult::Written:
        qCDebug(lcFile) << "post-build of" << name << "written to target.bin";
        ui->progressBar->setValue(100);
        showStatus(QStringLiteral("Postbuild is completed successful"));
        break;
    case PostBuildResult::InputTooBig:
        qCDebug(lcFile) << "post-build of" << name << "refused: more than the image body";
        showFileMessage(FirmwareMessages::TooBig);
        break;
    case PostBuildResult::OutputNotOpened:
    case PostBuildResult::WriteFailed:
        qCDebug(lcFile) << "post-build of" << name << ": target.bin not written:" << reason;
        showFileMessage(FirmwareMessages::NotWritten);
        break;
    case PostBuildResult::InputNotOpened:
        qCDebug(lcFile) << "post-build of" << name << ": input could not be read:" << reason;
        break; // an input that cannot be opened or read is passed over silently
    }
}
