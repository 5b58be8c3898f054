#pragma once

#include "core/flashprocedure.h"
#include "core/deviceendpoint.h"
#include "mainwindow/mainwindow.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

class FakeDevice;

// Read-only view of the window's state for assertions; the window names it its friend.
class MainWindowProbe
{
public:
    explicit MainWindowProbe(const MainWindow &window) : window(window) {}
    int linkState() const { return window.linkState; }
    int uploadStage() const { return window.uploadStage; }
    bool startAppAllowed() const { return window.startAppAllowed; }
    int sequenceNumber() const { return window.sequenceNumber; }
    const DeviceEndpoint &endpoint() const { return *window.pEndpoint; }
    const QByteArray &firmwareData() const { return window.firmwareData; }
    int linkTimerRemainingMs() const { return window.pLinkTimer->remainingTime(); } // -1: stopped

private:
    const MainWindow &window;
};

// Drives the window the way an operator does: by object name, keys and clicks.
namespace WindowDriver {

template <typename T> T *child(const MainWindow &window, const char *objectName)
{
    return window.findChild<T *>(QString::fromLatin1(objectName));
}
QPushButton *button(const MainWindow &window, const char *objectName);
QLineEdit *lineEdit(const MainWindow &window, const char *objectName);
QString status(const MainWindow &window);
int progress(const MainWindow &window);

// Types into a field and presses Return, which finishes editing.
void typeInto(QLineEdit *edit, const QString &text);

// Points the window at 127.0.0.1:port. Returns false (and sends nothing) unless the endpoint
// really holds loopback afterwards: nothing may ever go to the default device address.
bool pointAtLoopback(MainWindow &window, quint16 port);

// Points at the fake device, presses "Connect" and waits for "Connected".
bool connectTo(MainWindow &window, FakeDevice &device);

// Invokes a private slot by name, as Qt's timers and sockets do.
void invoke(MainWindow &window, const char *slot);

} // namespace WindowDriver
