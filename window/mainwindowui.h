#pragma once

class QHBoxLayout;
class QLabel;
class QLineEdit;
class QMainWindow;
class QMenuBar;
class QProgressBar;
class QPushButton;
class QSpacerItem;
class QStatusBar;
class QVBoxLayout;
class QWidget;

// The window's widget tree, written the way uic writes a form: a plain holder of pointers to
// objects owned by Qt's parent tree and by the layouts.
class MainWindowUi
{
public:
    QWidget *centralwidget;
    QVBoxLayout *verticalLayout;
    QHBoxLayout *horizontalLayout_2;
    QSpacerItem *horizontalSpacer;
    QLabel *label_2;
    QLineEdit *pLineEditIP;
    QSpacerItem *horizontalSpacer_2;
    QLabel *label;
    QLineEdit *pLineEditPORT;
    QSpacerItem *horizontalSpacer_3;
    QPushButton *pButConnectToggle;
    QSpacerItem *verticalSpacer;
    QHBoxLayout *horizontalLayout;
    QLabel *label_3;
    QLineEdit *pLineFileName;
    QPushButton *pButSelectFile;
    QSpacerItem *verticalSpacer_2;
    QHBoxLayout *horizontalLayout_3;
    QPushButton *pButPostBuild;
    QPushButton *pButStartUpload;
    QPushButton *pButStop;
    QPushButton *pButStartApplication;
    QPushButton *pButCheckApplication;
    QSpacerItem *verticalSpacer_3;
    QProgressBar *progressBar;
    QMenuBar *menubar;
    QStatusBar *statusbar;

    void setupUi(QMainWindow *window);
    void retranslateUi(QMainWindow *window);

private:
    // The form's rows, top to bottom.
    void setupAddressRow();
    void setupFileRow();
    void setupButtonRow();
    void setupBars(QMainWindow *window);
};
