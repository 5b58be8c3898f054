#include "window/mainwindow.h"

#include "core/deviceendpoint.h"
#include "core/flashprocedure.h"
#include "window/mainwindowui.h"
#include "window/windowstate.h"

#include <QHostAddress>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QUdpSocket>

namespace {
// 25 paints a second look continuous; the value itself is always exact.
constexpr int ProgressPaintIntervalMs = 40;
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new MainWindowUi), pEndpoint(nullptr), pUdpSocket(nullptr),
      uploadStage(StageIdle), startAppAllowed(false), sequenceNumber(0), pLinkTimer(nullptr),
      pPingTimer(nullptr), pProgressPaintTimer(nullptr), linkState(LinkDown)
{
    ui->setupUi(this);
    ui->progressBar->setValue(0);
    ui->progressBar->setTextVisible(false);

    QHostAddress defaultAddress;
    defaultAddress.setAddress(QString::fromLatin1(DefaultDeviceAddress));
    pEndpoint = new DeviceEndpoint(1, DefaultDevicePort, defaultAddress);
    ui->pLineEditIP->setText(pEndpoint->address.toString());
    ui->pLineEditPORT->setText(QString::number(pEndpoint->port));

    ui->pButStartUpload->setEnabled(false);
    ui->pButStop->setEnabled(false);
    ui->pButCheckApplication->setEnabled(false);
    ui->pButStartApplication->setEnabled(false);

    pUdpSocket = new QUdpSocket(this);
    pLinkTimer = new QTimer;
    pLinkTimer->setTimerType(Qt::PreciseTimer); // a coarse one may call the link lost at 11.4 s
    pPingTimer = new QTimer;
    pProgressPaintTimer = new QTimer(this);
    pProgressPaintTimer->setSingleShot(true);
    pProgressPaintTimer->setInterval(ProgressPaintIntervalMs);
    // Enabling updates again schedules one paint of whatever value the bar holds by then.
    connect(pProgressPaintTimer, &QTimer::timeout, this,
            [this] { ui->progressBar->setUpdatesEnabled(true); });

    showStatus(QStringLiteral("Disconnected"));

    connect(pUdpSocket, SIGNAL(readyRead()), this, SLOT(slotUdpRead()));
    connect(pLinkTimer, SIGNAL(timeout()), this, SLOT(slot_timer_timeout()));
    connect(pPingTimer, SIGNAL(timeout()), this, SLOT(slot_ping_timer_timeout()));

    setStartAppAllowed(false);
}

MainWindow::~MainWindow()
{
    // The timers have no Qt parent; stop them with the window rather than leak them.
    delete pPingTimer;
    delete pLinkTimer;
    delete pEndpoint;
    delete ui;
}

void MainWindow::on_pLineEditPORT_textEdited(QString arg1)
{
    Q_UNUSED(arg1) // keystrokes change nothing until editing finishes
}

void MainWindow::on_pLineEditIP_textEdited(QString arg1)
{
    Q_UNUSED(arg1)
}

void MainWindow::on_pButStartUpload_clicked()
{
    handleEvent(EvUpload);
}

void MainWindow::on_pButStartApplication_clicked()
{
    handleEvent(EvStartApp);
}

void MainWindow::on_pButCheckApplication_clicked()
{
    handleEvent(EvCheck);
}

void MainWindow::on_pButStop_clicked()
{
    handleEvent(EvStop);
}
