// The address and port fields: a value is taken when editing finishes and it parses;
// otherwise the field silently shows the current value again.

#include "window/mainwindow.h"

#include "core/deviceendpoint.h"
#include "window/mainwindowui.h"

#include <QLineEdit>

void MainWindow::on_pLineEditPORT_editingFinished()
{
    const int port = parsePortText(ui->pLineEditPORT->text());
    if (port < 0) {
        ui->pLineEditPORT->setText(QString::number(pEndpoint->port));
        return;
    }
    pEndpoint->port = port;
    filterSenders();
    setStartAppAllowed(false);
}

void MainWindow::on_pLineEditIP_editingFinished()
{
    const std::optional<QHostAddress> address = parseAddressText(ui->pLineEditIP->text());
    if (!address) {
        ui->pLineEditIP->setText(pEndpoint->address.toString());
        return;
    }
    pEndpoint->address = *address;
    filterSenders();
    setStartAppAllowed(false);
}
