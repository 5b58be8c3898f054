// Command datagrams out, replies in: the window's side of the wire.

#include "mainwindow/mainwindow.h"

#include "core/datagram.h"
#include "core/deviceendpoint.h"
#include "core/logging.h"
#include "mainwindow/windowstate.h"

#include <QUdpSocket>

qint64 MainWindow::sendCommand(quint8 type, const char *name, const char *payload,
                               int payloadLength, bool advanceSequence)
{
    char buffer[DatagramBufferSize] = {};
    if (advanceSequence)
        sequenceNumber = Datagram::nextSequence(sequenceNumber);
    const int length =
        Datagram::buildCommand(buffer, type, sequenceNumber, name, payload, payloadLength);
    // An address that did not parse would go to ::1; send nothing rather than that.
    if (length < 0 || pEndpoint->address.isNull())
        return -1;
    sinceCommand.start();
    qCDebug(lcLink).noquote() << "out" << Logging::describeCommand(buffer, length);
    return pUdpSocket->writeDatagram(buffer, length, pEndpoint->address, quint16(pEndpoint->port));
}

void MainWindow::sendEndNotice()
{
    if (endNotices.tryTake())
        sendCommand(CmdNotice, CommandName::End, nullptr, 0, true);
}

void MainWindow::slotUdpRead()
{
    char buffer[DatagramBufferSize] = {};
    QHostAddress sender;
    quint16 senderPort = 0;
    const qint64 length = pUdpSocket->readDatagram(buffer, sizeof buffer, &sender, &senderPort);
    // Anyone can send to our port: only the device's own datagrams may drive the window.
    if (length < 0 || !pEndpoint->isSender(sender, senderPort)) {
        qCDebug(lcLink).noquote() << "ignored" << length << "bytes from" << sender.toString()
                                  << "port" << senderPort << "(not the device)";
        return;
    }
    qCDebug(lcLink).noquote() << Logging::describeReply(buffer, length,
                                                        sinceCommand.nsecsElapsed() / 1000);

    if (linkState == LinkDown) {
        sendEndNotice();
        return;
    }
    switch (Datagram::classifyReply(buffer, length, sequenceNumber)) {
    case Datagram::ReplyKind::Nothing:
        break;
    case Datagram::ReplyKind::KeepAlive:
        handleEvent(EvKeepAlive);
        break;
    case Datagram::ReplyKind::SequenceMismatch:
        handleEvent(EvSequenceMismatch);
        break;
    case Datagram::ReplyKind::Success:
        handleEvent(EvReplyOk);
        break;
    case Datagram::ReplyKind::Failure:
        handleEvent(EvReplyFail);
        break;
    }
}
