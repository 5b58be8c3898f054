// "Connected" means the device answers keep-alive pings: a "Ping" about once a second, the
// link up at the first answer, lost after 12 s without one.

#include "window/mainwindow.h"

#include "core/conversation.h"
#include "core/flashprocedure.h"
#include "core/protocol.h"
#include "window/mainwindowui.h"
#include "window/windowstate.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

void MainWindow::on_pButConnectToggle_clicked(bool checked)
{
    Q_UNUSED(checked) // the button is not checkable
    if (linkState != LinkDown)
        setDisconnectedMode();
    else
        startConnecting();
}

void MainWindow::startConnecting()
{
    // An operation the last connection left standing would otherwise keep its stage: its
    // buttons would come back with the link yet do nothing until Stop.
    uploadStage = StageIdle;
    ui->progressBar->setValue(0);
    linkState = LinkConnecting;
    ui->pButConnectToggle->setText(tr("Disconnect"));
    ui->pLineEditIP->setEnabled(false);
    ui->pLineEditPORT->setEnabled(false);
    showStatus(QStringLiteral("Connecting..."));
    sendCommand(CmdRequest, CommandName::Ping, nullptr, 0,
                Conversation::advancesSequence(Conversation::Ping::Opening));
    filterSenders(); // the first send has bound the socket
    pLinkTimer->start(LinkTimeoutMs);
    pPingTimer->start(PingIntervalMs);
}

void MainWindow::slot_timer_timeout()
{
    pLinkTimer->stop();
    handleEvent(EvLinkTimeout);
}

void MainWindow::slot_ping_timer_timeout()
{
    pPingTimer->stop();
    handleEvent(EvPingTick);
}

void MainWindow::handleLinkEvent(quint8 event)
{
    switch (event) {
    case EvKeepAlive: {
        const Conversation::KeepAliveStep step = Conversation::onKeepAlive(LinkState(linkState));
        pLinkTimer->stop();
        if (step.linkComesUp)
            setConnectedMode();
        if (step.restartsLinkWindow)
            pLinkTimer->start(LinkTimeoutMs);
        break;
    }
    case EvPingTick:
        if (linkState == LinkDown)
            break;
        sendCommand(CmdRequest, CommandName::Ping, nullptr, 0,
                    Conversation::advancesSequence(Conversation::Ping::Tick));
        pPingTimer->start(PingIntervalMs);
        break;
    case EvLinkTimeout:
        setStartAppAllowed(false);
        resetToConnecting();
        setDisconnectedMode();
        break;
    }
}
