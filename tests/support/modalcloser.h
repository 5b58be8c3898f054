#pragma once

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>
#include <functional>

// Closes modal dialogs as they appear (armed before the click that opens them) and records
// what each message box said, so the test can assert after the click returns.
class ModalCloser : public QObject
{
    Q_OBJECT
public:
    struct Seen
    {
        QString text;
        QMessageBox::Icon icon;
        bool hadParent;
    };

    // `onDialog` handles a modal that is not a message box (a file dialog); it must close it.
    explicit ModalCloser(std::function<void(QWidget *)> onDialog = {});

    QVector<Seen> seen;

private:
    void poll();
    QTimer timer;
    std::function<void(QWidget *)> onDialog;
};
