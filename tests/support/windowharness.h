#pragma once

#include "core/datagram.h"
#include "core/deviceendpoint.h"
#include "core/flashprocedure.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/windowstate.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QUdpSocket>
#include <functional>
#include <memory>

// Runs the event loop until `done` holds or `timeoutMs` passed; says whether it holds. QTRY_*
// sleeps between passes, which would stretch a lock-step upload past the link timeout.
bool waitFor(const std::function<bool()> &done, int timeoutMs = 5000);

// Read-only view of the window's state for assertions; the window names it its friend.
class MainWindowProbe
{
public:
    explicit MainWindowProbe(const MainWindow &window) : window(window) {}
    int linkState() const { return window.linkState; }
    int uploadStage() const { return window.uploadStage; }
    int sequenceNumber() const { return window.sequenceNumber; }
    const DeviceEndpoint &endpoint() const { return *window.pEndpoint; }
    const QByteArray &firmwareData() const { return window.firmwareData; }
    int linkTimerRemainingMs() const { return window.pLinkTimer->remainingTime(); } // -1: stopped
    bool startAppAllowed() const { return window.startAppAllowed; }

private:
    const MainWindow &window;
};

// What the operator sees: link state, stage, progress, the enabled ones of IP Port Upload Stop
// Check StartApp, status, "allowed" when Start Application is permitted, and the Connect
// button's caption only when it is not the one the link state calls for.
struct WindowState
{
    int link, stage, progress;
    QString enabled, caption, status;
    bool allowed;
    explicit WindowState(const MainWindow &window);
    QString text() const; // "LinkUp Idle 0% [Upload Stop Check] 'Connected'"
    bool operator==(const WindowState &other) const { return text() == other.text(); }
};
char *toString(const WindowState &state);

// A loopback peer on an ephemeral port: records every datagram, answers pings and requests as
// the device's bootloader does, or echoes everything back to its sender.
class FakeDevice : public QObject
{
    Q_OBJECT
public:
    explicit FakeDevice(const char *address = "127.0.0.1", quint16 port = 0);
    quint16 port() const { return socket.localPort(); }
    bool answerPings = true, answerRequests = true, echo = false;
    QMap<QByteArray, quint8> statusFor; // per command name; default success
    QVector<QByteArray> received;
    QVector<Datagram::ParsedCommand> commands(const QByteArray &name = QByteArray()) const;
    int count(const QByteArray &name) const { return commands(name).size(); }
    void sendTo(quint16 port, const QByteArray &bytes); // to 127.0.0.1:port
    void sendToTool(const QByteArray &bytes) { sendTo(toolPort, bytes); }
    void reply(quint8 sequence, quint8 status) { sendToTool(replyBytes(sequence, status)); }
    static QByteArray replyBytes(quint8 sequence, quint8 status);
signals:
    void datagramReceived();

private:
    QUdpSocket socket;
    quint16 toolPort = 0; // the sender of the last datagram
};

// Closes modal dialogs as they appear (armed before the click that opens them) and records
// "text/icon/has a parent" of each message box.
class ModalCloser : public QObject
{
public:
    explicit ModalCloser(std::function<void(QWidget *)> onDialog = {}); // closes other modals
    QStringList seen;
    std::function<bool()> hold; // while it returns true, a message box stays open

private:
    QTimer timer;
};

// Qt warnings since the last call, the offscreen platform's own noise left out.
QStringList takeWarnings();

// A window and a fake device made afresh for each test, and the operator's hands.
class WindowFixture : public QObject
{
protected:
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<FakeDevice> device;
    int reads = 0; // datagrams the window has read and handled

    void makeWindow();
    void dropWindow(); // and fails on unexpected warnings
    MainWindowProbe probe() const { return MainWindowProbe(*window); }
    WindowState state() const { return WindowState(*window); }
    template <typename T = QPushButton> T *widget(const QString &name) const
    {
        return window->findChild<T *>(name);
    }
    QString status() const;
    int progress() const;
    void click(const char *name);
    void invoke(const char *slot) { QMetaObject::invokeMethod(window.get(), slot); }
    void typeInto(const QString &name, const QString &text); // then Return: editing finished
    // Points at 127.0.0.1:port; false (and nothing sent) unless the endpoint holds exactly that.
    bool pointAt(quint16 port);
    bool connectToDevice(); // points at the device, presses Connect, waits for "Connected"
    // In-order loopback sentinel: a ping tick sends a Ping; once it arrived, so did everything
    // the window sent before. Returns what the device received since `mark`, pings left out.
    QVector<QByteArray> sentinel(int mark);
    bool readSince(int mark, int count)
    {
        return waitFor([&] { return reads >= mark + count; });
    }
};
