// Naming the firmware file: the file dialog and the name checks with their message boxes.

#include "window/mainwindow.h"

#include "core/firmwarefile.h"
#include "core/logging.h"
#include "window/mainwindowui.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>

void MainWindow::on_pButSelectFile_clicked()
{
    QFileDialog dialog(this, QString(), QString(), QString());
    // After Cancel the widget dialog still reports its current folder; that is no choice.
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QStringList files = dialog.selectedFiles();
    if (!files.isEmpty())
        ui->pLineFileName->setText(files.first());
}

bool MainWindow::checkFirmwareFile(const QString &name)
{
    switch (checkFirmwareFileName(name)) {
    case FileNameCheck::NotSelected:
        qCDebug(lcFile) << "firmware file" << name << "refused: not a name ending in .bin";
        showFileMessage(FirmwareMessages::SelectFile, true);
        return false;
    case FileNameCheck::NotFound:
        qCDebug(lcFile) << "firmware file" << name << "refused: not a regular file";
        showFileMessage(FirmwareMessages::NotFound);
        return false;
    case FileNameCheck::Passed:
        break;
    }
    return true;
}

void MainWindow::showFileMessage(const char *text, bool warning)
{
    QMessageBox box;
    box.setText(QString::fromLatin1(text));
    if (warning)
        box.setIcon(QMessageBox::Warning);
    box.exec();
}
