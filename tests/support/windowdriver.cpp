#include "support/windowdriver.h"

#include "mainwindow/windowstate.h"
#include "support/fakedevice.h"

#include <QTest>

namespace WindowDriver {

QPushButton *button(const MainWindow &window, const char *objectName)
{
    return child<QPushButton>(window, objectName);
}

QLineEdit *lineEdit(const MainWindow &window, const char *objectName)
{
    return child<QLineEdit>(window, objectName);
}

QString status(const MainWindow &window)
{
    return child<QStatusBar>(window, "statusbar")->currentMessage();
}

int progress(const MainWindow &window)
{
    return child<QProgressBar>(window, "progressBar")->value();
}

void typeInto(QLineEdit *edit, const QString &text)
{
    edit->setFocus();
    edit->selectAll();
    edit->del();
    QTest::keyClicks(edit, text);
    QTest::keyClick(edit, Qt::Key_Return);
}

bool pointAtLoopback(MainWindow &window, quint16 port)
{
    typeInto(lineEdit(window, "pLineEditIP"), QStringLiteral("127.0.0.1"));
    typeInto(lineEdit(window, "pLineEditPORT"), QString::number(port));
    const DeviceEndpoint &endpoint = MainWindowProbe(window).endpoint();
    return endpoint.address == QHostAddress(QHostAddress::LocalHost) && endpoint.port == port &&
           port != 0;
}

bool connectTo(MainWindow &window, FakeDevice &device)
{
    if (!pointAtLoopback(window, device.port()))
        return false;
    QTest::mouseClick(button(window, "pButConnectToggle"), Qt::LeftButton);
    return QTest::qWaitFor([&] { return MainWindowProbe(window).linkState() == LinkUp; }, 5000);
}

void invoke(MainWindow &window, const char *slot)
{
    QMetaObject::invokeMethod(&window, slot);
}

} // namespace WindowDriver
