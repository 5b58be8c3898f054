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

WindowState::WindowState(const MainWindow &window)
{
    const MainWindowProbe probe(window);
    link = probe.linkState();
    stage = probe.uploadStage();
    progress = window.findChild<QProgressBar *>("progressBar")->value();
    const QStringList names{"IP", "Port", "Upload", "Stop", "Check", "StartApp"};
    const QStringList objects{"pLineEditIP", "pLineEditPORT",        "pButStartUpload",
                              "pButStop",    "pButCheckApplication", "pButStartApplication"};
    for (int i = 0; i < names.size(); ++i)
        enabled += window.findChild<QWidget *>(objects[i])->isEnabled() ? " " + names[i] : "";
    enabled = enabled.trimmed();
    caption = window.findChild<QPushButton *>("pButConnectToggle")->text();
    status = window.findChild<QStatusBar *>("statusbar")->currentMessage();
    allowed = probe.startAppAllowed();
}

QString WindowState::text() const
{
    static const QStringList links{"LinkDown", "LinkConnecting", "LinkUp"};
    static const QStringList stages{"Idle", "Erasing", "Writing", "Checking", "Finishing"};
    const bool designed = caption == (link == LinkDown ? "Connect" : "Disconnect");
    return QString("%1 %2 %3% [%4] '%5'%6%7")
        .arg(links.value(link, "Link?"), stages.value(stage, "Stage?"))
        .arg(progress)
        .arg(enabled, status, allowed ? " allowed" : "", designed ? "" : " caption " + caption);
}

char *toString(const WindowState &state)
{
    return qstrdup(state.text().toUtf8().constData());
}

FakeDevice::FakeDevice(const char *address, quint16 port)
{
    socket.bind(QHostAddress(QString::fromLatin1(address)), port);
    connect(&socket, &QUdpSocket::readyRead, this, [this] {
        QByteArray bytes(DatagramBufferSize, 0);
        bytes.resize(int(socket.readDatagram(bytes.data(), bytes.size(), nullptr, &toolPort)));
        received.append(bytes);
        const auto parsed = Datagram::parseCommand(bytes.constData(), bytes.size());
        const bool ping = parsed && parsed->name == "Ping";
        if (echo)
            sendToTool(bytes);
        else if (parsed && parsed->type == CmdRequest && (ping ? answerPings : answerRequests))
            reply(parsed->sequence,
                  ping ? KeepAliveCode : statusFor.value(parsed->name, ReplyOkCode));
        emit datagramReceived();
    });
}

QByteArray FakeDevice::replyBytes(quint8 sequence, quint8 status)
{
    QByteArray bytes(4, 0);
    bytes[0] = 0x55;
    bytes[ReplySequenceOffset] = char(sequence);
    bytes[ReplyStatusOffset] = char(status);
    return bytes;
}

QVector<Datagram::ParsedCommand> FakeDevice::commands(const QByteArray &name) const
{
    QVector<Datagram::ParsedCommand> result;
    for (const QByteArray &bytes : received) {
        const auto parsed = Datagram::parseCommand(bytes.constData(), bytes.size());
        if (parsed && (name.isEmpty() || parsed->name == name))
            result.append(*parsed);
    }
    return result;
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
        auto *box = qobject_cast<QMessageBox *>(modal);
        if (box && !(hold && hold())) {
            seen << QString("%1/%2/%3")
                        .arg(box->text())
                        .arg(box->icon())
                        .arg(int(box->parent() != nullptr));
            box->done(QMessageBox::Ok);
        } else if (modal && !box && onDialog) {
            onDialog(modal);
        }
    });
    timer.start(5);
}

namespace {
QtMessageHandler previousHandler = nullptr;
QStringList warnings;
} // namespace

QStringList takeWarnings()
{
    if (!previousHandler) {
        previousHandler = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &context, const QString &text) {
                if (type != QtDebugMsg && type != QtInfoMsg && !text.contains("propagateSizeHints"))
                    warnings << text;
                previousHandler(type, context, text);
            });
    }
    QStringList taken;
    taken.swap(warnings);
    return taken;
}

void WindowFixture::makeWindow()
{
    takeWarnings();
    window = std::make_unique<MainWindow>();
    device = std::make_unique<FakeDevice>();
    reads = 0;
    connect(window->findChild<QUdpSocket *>(), &QUdpSocket::readyRead, this, [this] { ++reads; });
}

void WindowFixture::dropWindow()
{
    window.reset();
    device.reset();
    QCOMPARE(takeWarnings(), QStringList());
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
    edit->selectAll();
    edit->del();
    QTest::keyClicks(edit, text);
    QTest::keyClick(edit, Qt::Key_Return);
}

bool WindowFixture::pointAt(quint16 port)
{
    typeInto("pLineEditIP", "127.0.0.1");
    typeInto("pLineEditPORT", QString::number(port));
    const DeviceEndpoint &endpoint = probe().endpoint();
    return endpoint.address == QHostAddress(QHostAddress::LocalHost) && endpoint.port == port &&
           port != 0;
}

bool WindowFixture::connectToDevice()
{
    if (!pointAt(device->port()))
        return false;
    click("pButConnectToggle");
    return waitFor([&] { return probe().linkState() == LinkUp; });
}

QVector<QByteArray> WindowFixture::sentinel(int mark)
{
    const int pings = device->count("Ping");
    invoke("slot_ping_timer_timeout");
    if (!waitFor([&] { return device->count("Ping") > pings; }))
        return {"(no Ping arrived)"};
    QVector<QByteArray> sent;
    for (int i = mark; i < device->received.size(); ++i)
        if (!device->received[i].endsWith("\4Ping"))
            sent << device->received[i];
    return sent;
}
