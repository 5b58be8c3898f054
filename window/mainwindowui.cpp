#include "window/mainwindowui.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSpacerItem>
#include <QStatusBar>
#include <QVBoxLayout>
#include <QWidget>

void MainWindowUi::setupUi(QMainWindow *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QString::fromUtf8("MainWindow"));
    window->resize(600, 232);

    centralwidget = new QWidget(window);
    centralwidget->setObjectName(QString::fromUtf8("centralwidget"));
    verticalLayout = new QVBoxLayout(centralwidget);
    verticalLayout->setObjectName(QString::fromUtf8("verticalLayout"));

    setupAddressRow();
    setupFileRow();
    setupButtonRow();
    setupBars(window);

    retranslateUi(window);

    QMetaObject::connectSlotsByName(window);
}

void MainWindowUi::setupAddressRow()
{
    horizontalLayout_2 = new QHBoxLayout();
    horizontalLayout_2->setObjectName(QString::fromUtf8("horizontalLayout_2"));
    horizontalSpacer = new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
    horizontalLayout_2->addItem(horizontalSpacer);
    label_2 = new QLabel(centralwidget);
    label_2->setObjectName(QString::fromUtf8("label_2"));
    horizontalLayout_2->addWidget(label_2);
    pLineEditIP = new QLineEdit(centralwidget);
    pLineEditIP->setObjectName(QString::fromUtf8("pLineEditIP"));
    horizontalLayout_2->addWidget(pLineEditIP);
    horizontalSpacer_2 = new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
    horizontalLayout_2->addItem(horizontalSpacer_2);
    label = new QLabel(centralwidget);
    label->setObjectName(QString::fromUtf8("label"));
    horizontalLayout_2->addWidget(label);
    pLineEditPORT = new QLineEdit(centralwidget);
    pLineEditPORT->setObjectName(QString::fromUtf8("pLineEditPORT"));
    horizontalLayout_2->addWidget(pLineEditPORT);
    horizontalSpacer_3 = new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
    horizontalLayout_2->addItem(horizontalSpacer_3);
    pButConnectToggle = new QPushButton(centralwidget);
    pButConnectToggle->setObjectName(QString::fromUtf8("pButConnectToggle"));
    horizontalLayout_2->addWidget(pButConnectToggle);
    verticalLayout->addLayout(horizontalLayout_2);
    verticalSpacer = new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding);
    verticalLayout->addItem(verticalSpacer);
}

void MainWindowUi::setupFileRow()
{
    horizontalLayout = new QHBoxLayout();
    horizontalLayout->setObjectName(QString::fromUtf8("horizontalLayout"));
    horizontalLayout->setSizeConstraint(QLayout::SetDefaultConstraint);
    label_3 = new QLabel(centralwidget);
    label_3->setObjectName(QString::fromUtf8("label_3"));
    horizontalLayout->addWidget(label_3);
    pLineFileName = new QLineEdit(centralwidget);
    pLineFileName->setObjectName(QString::fromUtf8("pLineFileName"));
    horizontalLayout->addWidget(pLineFileName);
    pButSelectFile = new QPushButton(centralwidget);
    pButSelectFile->setObjectName(QString::fromUtf8("pButSelectFile"));
    horizontalLayout->addWidget(pButSelectFile);
    verticalLayout->addLayout(horizontalLayout);
    verticalSpacer_2 = new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding);
    verticalLayout->addItem(verticalSpacer_2);
}

void MainWindowUi::setupButtonRow()
{
    horizontalLayout_3 = new QHBoxLayout();
    horizontalLayout_3->setObjectName(QString::fromUtf8("horizontalLayout_3"));
    horizontalLayout_3->setSizeConstraint(QLayout::SetMaximumSize);
    horizontalLayout_3->setContentsMargins(0, -1, -1, -1);
    pButPostBuild = new QPushButton(centralwidget);
    pButPostBuild->setObjectName(QString::fromUtf8("pButPostBuild"));
    QSizePolicy sizePolicy(QSizePolicy::Minimum, QSizePolicy::Minimum);
    sizePolicy.setHorizontalStretch(0);
    sizePolicy.setVerticalStretch(0);
    sizePolicy.setHeightForWidth(pButPostBuild->sizePolicy().hasHeightForWidth());
    pButPostBuild->setSizePolicy(sizePolicy);
    horizontalLayout_3->addWidget(pButPostBuild);
    pButStartUpload = new QPushButton(centralwidget);
    pButStartUpload->setObjectName(QString::fromUtf8("pButStartUpload"));
    sizePolicy.setHeightForWidth(pButStartUpload->sizePolicy().hasHeightForWidth());
    pButStartUpload->setSizePolicy(sizePolicy);
    horizontalLayout_3->addWidget(pButStartUpload);
    pButStop = new QPushButton(centralwidget);
    pButStop->setObjectName(QString::fromUtf8("pButStop"));
    horizontalLayout_3->addWidget(pButStop);
    pButStartApplication = new QPushButton(centralwidget);
    pButStartApplication->setObjectName(QString::fromUtf8("pButStartApplication"));
    horizontalLayout_3->addWidget(pButStartApplication);
    pButCheckApplication = new QPushButton(centralwidget);
    pButCheckApplication->setObjectName(QString::fromUtf8("pButCheckApplication"));
    horizontalLayout_3->addWidget(pButCheckApplication);
    verticalLayout->addLayout(horizontalLayout_3);
    verticalSpacer_3 = new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding);
    verticalLayout->addItem(verticalSpacer_3);
}

void MainWindowUi::setupBars(QMainWindow *window)
{
    progressBar = new QProgressBar(centralwidget);
    progressBar->setObjectName(QString::fromUtf8("progressBar"));
    progressBar->setValue(24);
    verticalLayout->addWidget(progressBar);

    window->setCentralWidget(centralwidget);
    menubar = new QMenuBar(window);
    menubar->setObjectName(QString::fromUtf8("menubar"));
    menubar->setGeometry(QRect(0, 0, 600, 26));
    window->setMenuBar(menubar);
    statusbar = new QStatusBar(window);
    statusbar->setObjectName(QString::fromUtf8("statusbar"));
    window->setStatusBar(statusbar);
}

void MainWindowUi::retranslateUi(QMainWindow *window)
{
    window->setWindowTitle(QCoreApplication::translate("MainWindow", "Bootloader", nullptr));
    label_2->setText(QCoreApplication::translate("MainWindow", "IP address", nullptr));
    label->setText(QCoreApplication::translate("MainWindow", "Port", nullptr));
    pButConnectToggle->setText(QCoreApplication::translate("MainWindow", "Connect", nullptr));
    label_3->setText(QCoreApplication::translate("MainWindow", "file", nullptr));
    pButSelectFile->setText(QCoreApplication::translate("MainWindow", "OpenFile...", nullptr));
    pButPostBuild->setText(QCoreApplication::translate("MainWindow", "Start postbuild", nullptr));
    pButStartUpload->setText(QCoreApplication::translate("MainWindow", "Start Upload", nullptr));
    pButStop->setText(QCoreApplication::translate("MainWindow", "Stop Upload", nullptr));
    pButStartApplication->setText(
        QCoreApplication::translate("MainWindow", "Start Application", nullptr));
    pButCheckApplication->setText(
        QCoreApplication::translate("MainWindow", "Check Application", nullptr));
}
