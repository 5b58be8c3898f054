#include "support/windowharness.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProgressBar>
#include <QStatusBar>
#include <QTest>

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || clock.hasExpired(timeoutMs))
            loop.quit();
    });
    poll.start(2);
    if (!done())
        loop.exec();
    return done();
}

FakeDevice::FakeDevice(const char *address, quint16 port)
{
    socket.bind(QHostAddress(QString::fromLatin1(address)), port);
    connect(&socket, &QUdpSocket::readyRead, this, [this] {
        QByteArray bytes(DatagramBufferSize, 0);
        quint16 from = 0;
        bytes.resize(int(socket.readDatagram(bytes.data(), bytes.size(), nullptr, &from)));
        received.append(bytes);
        const auto parsed = Datagram::parseCommand(bytes.constData(), bytes.size());
        const bool ping = parsed && parsed->name == "Ping", request = parsed && !ping;
        requests += request;
        if (echo)
            sendTo(from, bytes);
        else if (parsed && parsed->type == CmdRequest && (ping ? answerPings : answers-- > 0))
            sendTo(from, reply(parsed->sequence, ping ? KeepAliveCode : ReplyOkCode));
        emit datagramReceived();
    });
}

int FakeDevice::count(const QByteArray &name) const
{
    return int(std::count_if(received.begin(), received.end(), [&](const QByteArray &bytes) {
        const auto parsed = Datagram::parseCommand(bytes.constData(), bytes.size());
        return parsed && parsed->name == name;
    }));
}

void FakeDevice::sendTo(quint16 port, const QByteArray &bytes)
{
    if (port != 0) // only loopback, and only once the window's port is known
        socket.writeDatagram(bytes, QHostAddress(QHostAddress::LocalHost), port);
}

ModalCloser::ModalCloser(std::function<void(QWidget *)> onDialog)
{
    // Polls: the click that opens the box runs its own loop until the box is closed.
    connect(&timer, &QTimer::timeout, this, [this, onDialog] {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            seen << QString("%1/%2/%3").arg(box->text()).arg(box->icon()).arg(!!box->parent());
            box->done(QMessageBox::Ok);
        } else if (modal && onDialog) {
            onDialog(modal);
        }
    });
    timer.start(5);
}

namespace {
QtMessageHandler previousHandler = nullptr;
QStringList warnings; // Qt's, the offscreen platform's own noise left out
} // namespace

void WindowFixture::makeWindow()
{
    if (!previousHandler) {
        previousHandler = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &context, const QString &text) {
                if (type != QtDebugMsg && type != QtInfoMsg && !text.contains("propagateSizeHints"))
                    warnings << text;
                previousHandler(type, context, text);
            });
    }
    warnings.clear();
    window = std::make_unique<MainWindow>();
    device = std::make_unique<FakeDevice>();
    reads = 0;
    connect(window->findChild<QUdpSocket *>(), &QUdpSocket::readyRead, this, [this] { ++reads; });
}

void WindowFixture::dropWindow()
{
    window.reset();
    device.reset();
    QCOMPARE(warnings, QStringList());
}

QString WindowFixture::screen() const
{
    static const QStringList links{"LinkDown", "LinkConnecting", "LinkUp"};
    static const QStringList stages{"Idle", "Erasing", "Writing", "Checking", "Finishing"};
    const QStringList controls = QString("IP pLineEditIP Port pLineEditPORT Upload pButStartUpload "
                                         "Stop pButStop Check pButCheckApplication "
                                         "StartApp pButStartApplication")
                                     .split(' ');
    QString enabled;
    for (int i = 0; i < controls.size(); i += 2)
        enabled += widget<QWidget>(controls[i + 1])->isEnabled() ? " " + controls[i] : "";
    const int link = probe().linkState();
    const QString caption = widget("pButConnectToggle")->text();
    const bool designed = caption == (link == LinkDown ? "Connect" : "Disconnect");
    return QString("%1 %2 %3% [%4] '%5'%6%7")
        .arg(links.value(link, "Link?"), stages.value(probe().uploadStage(), "Stage?"))
        .arg(progress())
        .arg(enabled.trimmed(), status(), probe().startAppAllowed() ? " allowed" : "",
             designed ? "" : " caption " + caption);
}

QString WindowFixture::status() const
{
    return widget<QStatusBar>("statusbar")->currentMessage();
}

int WindowFixture::progress() const
{
    return widget<QProgressBar>("progressBar")->value();
}

void WindowFixture::click(const char *name)
{
    QTest::mouseClick(widget(name), Qt::LeftButton);
}

void WindowFixture::typeInto(const QString &name, const QString &text)
{
    QLineEdit *edit = widget<QLineEdit>(name);
    edit->setFocus();
    edit->clear();
    QTest::keyClicks(edit, text);
    QTest::keyClick(edit, Qt::Key_Return);
}

bool WindowFixture::pointAt(quint16 port)
{
    typeInto("pLineEditIP", "127.0.0.1");
    typeInto("pLineEditPORT", QString::number(port));
    return pointsAt(port);
}

bool WindowFixture::pointsAt(quint16 port) const
{
    const DeviceEndpoint &endpoint = probe().endpoint();
    return endpoint.address == QHostAddress(QHostAddress::LocalHost) && endpoint.port == port &&
           port != 0;
}

bool WindowFixture::connectToDevice()
{
    device->answerPings = false;
    if (!pointAt(device->port()))
        return false;
    click("pButConnectToggle");
    if (!waitFor([&] { return device->count("Ping") > 0; }))
        return false;
    device->sendTo(window->findChild<QUdpSocket *>()->localPort(),
                   FakeDevice::reply(1, KeepAliveCode));
    return waitFor([&] { return probe().linkState() == LinkUp; });
}

QString WindowFixture::sentSince(int mark, bool pings)
{
    const int before = device->count("Ping");
    if (probe().linkState() != LinkDown)
        invoke("slot_ping_timer_timeout");
    else if (pointsAt(device->port()))
        click("pButConnectToggle");
    if (!waitFor([&] { return device->count("Ping") > before; }))
        return "(no sentinel Ping)";
    QStringList sent;
    for (int i = mark; i < device->received.size(); ++i) {
        const QByteArray &bytes = device->received[i];
        const auto parsed = Datagram::parseCommand(bytes.constData(), bytes.size());
        if (!parsed)
            sent << "?" + bytes.toHex();
        else if (parsed->name != "Ping" || pings || i == device->received.size() - 1)
            sent << QString("%1%2 %3")
                        .arg(QString(parsed->name), parsed->type == CmdNotice ? "!" : "")
                        .arg(parsed->sequence);
    }
    return sent.join(", ");
}
