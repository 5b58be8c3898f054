#include "support/modalcloser.h"

#include <QApplication>

ModalCloser::ModalCloser(std::function<void(QWidget *)> onDialog) : onDialog(std::move(onDialog))
{
    connect(&timer, &QTimer::timeout, this, &ModalCloser::poll);
    timer.start(5);
}

void ModalCloser::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible())
        return;
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        seen.append({box->text(), box->icon(), box->parentWidget() != nullptr});
        box->done(QMessageBox::Ok);
    } else if (onDialog) {
        onDialog(modal);
    }
}
