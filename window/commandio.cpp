// Command datagrams out, replies in: the window's side of the wire.

#include "window/mainwindow.h"

#include "core/conversation.h"
#include "core/datagram.h"
#include "core/deviceendpoint.h"
#include "core/logging.h"
#include "window/windowstate.h"

#include <QUdpSocket>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <cstring>
#include <linux/filter.h>
#include <sys/socket.h>
#include <vector>

namespace {
// A classic socket filter passing only datagrams from `address` and `port`. On a UDP socket it
// sees the UDP header at offset 0 and the IP header at SKF_NET_OFF. A dual-stack socket gets
// IPv4 senders as IPv4 packets, so an IPv4-mapped endpoint is matched as its IPv4 address.
std::vector<sock_filter> senderFilter(const QHostAddress &address, quint16 port)
{
    std::vector<sock_filter> program;
    const auto load = [&](quint16 size, int offset) {
        program.push_back({quint16(BPF_LD | size | BPF_ABS), 0, 0, quint32(offset)});
    };
    const auto require = [&](quint32 value) { // jf is set below: to the final "drop"
        program.push_back({quint16(BPF_JMP | BPF_JEQ | BPF_K), 0, 0, value});
    };
    load(BPF_H, 0); // UDP source port
    require(port);
    load(BPF_B, SKF_NET_OFF); // IP version in the high nibble
    program.push_back({quint16(BPF_ALU | BPF_RSH | BPF_K), 0, 0, 4});
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4) {
        require(4);
        load(BPF_W, SKF_NET_OFF + 12);
        require(ipv4);
    } else {
        require(6);
        const Q_IPV6ADDR ipv6 = address.toIPv6Address();
        for (int word = 0; word < 4; ++word) {
            load(BPF_W, SKF_NET_OFF + 8 + 4 * word);
            const quint8 *bytes = ipv6.c + 4 * word;
            require(quint32(bytes[0]) << 24 | quint32(bytes[1]) << 16 | quint32(bytes[2]) << 8 |
                    bytes[3]);
        }
    }
    program.push_back({quint16(BPF_RET | BPF_K), 0, 0, 0xFFFFFFFF}); // pass it whole
    program.push_back({quint16(BPF_RET | BPF_K), 0, 0, 0});          // drop it
    const size_t drop = program.size() - 1;
    for (size_t i = 0; i < drop; ++i) {
        if (program[i].code == (BPF_JMP | BPF_JEQ | BPF_K))
            program[i].jf = quint8(drop - i - 1);
    }
    return program;
}
} // namespace
#endif

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

void MainWindow::filterSenders()
{
    // Ignoring strangers in slotUdpRead is not enough: their datagrams still fill the receive
    // queue, and a flood of them makes the kernel drop the device's replies. While the link is
    // wanted, the kernel itself passes only the endpoint's datagrams. The socket stays
    // unconnected: Qt misbehaves when a connected one meets a "port unreachable".
    const qintptr descriptor = pUdpSocket->socketDescriptor();
    if (descriptor < 0)
        return; // not bound yet: nothing arrives
#ifdef Q_OS_LINUX
    if (linkState == LinkDown) {
        const int unused = 0; // ENOENT when no filter is attached: nothing to undo
        setsockopt(int(descriptor), SOL_SOCKET, SO_DETACH_FILTER, &unused, sizeof unused);
        return;
    }
    std::vector<sock_filter> program = senderFilter(pEndpoint->address, quint16(pEndpoint->port));
    const sock_fprog filter{quint16(program.size()), program.data()};
    if (setsockopt(int(descriptor), SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) != 0)
        qCWarning(lcLink).noquote() << "others' datagrams are not kept out:" << strerror(errno);
#endif
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

    Conversation::Outstanding outstanding;
    outstanding.link = LinkState(linkState);
    outstanding.request = uploadStage != StageIdle;
    outstanding.sequence = sequenceNumber;
    const Conversation::Reply reply = Conversation::readReply(buffer, length, outstanding);
    if (Conversation::callsForEndNotice(reply))
        sendEndNotice(); // whatever the device was doing is over
    switch (reply) {
    case Conversation::Reply::Ignored:
    case Conversation::Reply::Stale: // the window does not retransmit: never stale
        break;
    case Conversation::Reply::KeepAlive:
        handleEvent(EvKeepAlive);
        break;
    case Conversation::Reply::Mismatch:
        handleEvent(EvSequenceMismatch);
        break;
    case Conversation::Reply::Success:
        handleEvent(EvReplyOk);
        break;
    case Conversation::Reply::Failure:
        handleEvent(EvReplyFail);
        break;
    case Conversation::Reply::Stray:
        handleEvent(EvStrayReply);
        break;
    }
}
