#pragma once

#include "core/datagram.h"
#include "core/deviceendpoint.h"
#include "window/mainwindow.h"
#include "window/windowstate.h"

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
    int pingTimerRemainingMs() const { return window.pPingTimer->remainingTime(); }
    bool startAppAllowed() const { return window.startAppAllowed; }

private:
    const MainWindow &window;
};

// A loopback peer on an ephemeral port: records every datagram and answers as the device's
// bootloader does (pings while answerPings, the next `answers` requests with success), or
// echoes everything back to its sender.
class FakeDevice : public QObject
{
    Q_OBJECT
public:
    explicit FakeDevice(const char *address = "127.0.0.1", quint16 port = 0);
    quint16 port() const { return socket.localPort(); }
    bool answerPings = true, echo = false;
    int answers = 1 << 30, requests = 0; // requests: other than "Ping", received
    QVector<QByteArray> received;
    int count(const QByteArray &name) const;
    void sendTo(quint16 port, const QByteArray &bytes);     // to 127.0.0.1:port, never port 0
    static QByteArray reply(quint8 sequence, quint8 status) // as the bootloader answers
    {
        return QByteArray("\x55") + char(sequence) + '\0' + char(status);
    }
signals:
    void datagramReceived();

private:
    QUdpSocket socket;
};

// Closes modal dialogs as they appear (armed before the click that opens them) and records
// "text/icon/has a parent" of each message box.
class ModalCloser : public QObject
{
public:
    explicit ModalCloser(std::function<void(QWidget *)> onDialog = {}); // closes other modals
    QStringList seen;

private:
    QTimer timer;
};

// A window and a fake device made afresh for each test, and the operator's hands.
class WindowFixture : public QObject
{
protected:
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<FakeDevice> device;
    int reads = 0; // datagrams the window has read and handled

    void makeWindow();
    void dropWindow(); // and fails on Qt warnings since makeWindow (e.g. an unmatched on_ slot)
    MainWindowProbe probe() const { return MainWindowProbe(*window); }
    // "LinkUp Idle 0% [Upload Stop Check] 'Connected'": link, stage, progress, the enabled ones
    // of IP Port Upload Stop Check StartApp, status, " allowed" when Start Application is
    // permitted, and the Connect button's caption when it is not the one the link calls for.
    QString screen() const;
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
    bool pointsAt(quint16 port) const;
    // Points at the device, presses Connect and answers its Ping; later pings go unanswered.
    bool connectToDevice();
    bool readSince(int mark, int count)
    {
        return waitFor([&] { return reads >= mark + count; });
    }
    // In-order loopback sentinel: a Ping sent now (a tick's; Connect's while the link is down)
    // arrives after everything the window sent before. Lists what the device received since
    // `mark` as "Check 2" or "End! 3" ('!': a notice), pings only if `pings`, and then the
    // sentinel as "Ping n".
    QString sentSince(int mark, bool pings = false);
};
