#pragma once

#include "core/flashprocedure.h"
#include "core/noticelimiter.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMainWindow>

class MainWindowUi;
struct DeviceEndpoint;
class QUdpSocket;
class QTimer;

// The device's address until the operator types another; a private LAN address.
inline const char DefaultDeviceAddress[] = "192.168.10.50";

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    void on_pButSelectFile_clicked();
    void on_pButPostBuild_clicked();
    void on_pLineEditPORT_textEdited(QString arg1);
    void on_pLineEditIP_textEdited(QString arg1);
    void on_pLineEditPORT_editingFinished();
    void on_pLineEditIP_editingFinished();
    void on_pButStartUpload_clicked();
    void slotUdpRead();
    void on_pButStartApplication_clicked();
    void on_pButCheckApplication_clicked();
    void on_pButStop_clicked();
    void slot_timer_timeout();
    void slot_ping_timer_timeout();
    void on_pButConnectToggle_clicked(bool checked);

private:
    // Control modes: the fixed combinations of enabled controls, caption, progress and status.
    void setDisconnectedMode();
    void setConnectedMode();
    void resetToConnecting();
    void setStartAppAllowed(bool allowed);
    void enableStartApplication();
    void finishOperation();
    void abortOperation();
    void showStatus(const QString &text);
    static QString verdictStatus(FlashProcedure::Verdict verdict);
    void showProgress(int percent);

    // Device link.
    qint64 sendCommand(quint8 type, const char *name, const char *payload, int payloadLength,
                       bool advanceSequence);
    void sendEndNotice();
    void filterSenders(); // while the link is wanted, only the endpoint's datagrams arrive
    void startConnecting();

    // Flash operations.
    void handleEvent(quint8 event);
    void handleLinkEvent(quint8 event);
    void handleStageEvent(quint8 event);
    void handleIdleEvent(quint8 event);
    void startUpload();
    void sendNextBlock();
    void startCheck();

    // Firmware file.
    bool checkFirmwareFile(const QString &name);
    static void showFileMessage(const char *text, bool warning = false);

    friend class MainWindowProbe; // read-only view for the tests

    MainWindowUi *ui;
    DeviceEndpoint *pEndpoint;
    QUdpSocket *pUdpSocket;
    quint8 uploadStage;
    QByteArray firmwareData;
    bool startAppAllowed;
    quint8 sequenceNumber;
    QTimer *pLinkTimer;
    QTimer *pPingTimer;
    QTimer *pProgressPaintTimer; // while active, the progress bar paints later
    int linkState;
    NoticeLimiter endNotices;
    QElapsedTimer sinceCommand; // for the round trip the log shows
};
