#include "support/strictmessages.h"

#include <QtGlobal>

namespace {
QtMessageHandler previousHandler = nullptr;
QStringList recorded;

void recordingHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtWarningMsg || type == QtCriticalMsg)
        recorded.append(text);
    if (previousHandler)
        previousHandler(type, context, text);
}
} // namespace

void StrictMessages::install()
{
    if (!previousHandler)
        previousHandler = qInstallMessageHandler(recordingHandler);
}

QStringList StrictMessages::take()
{
    QStringList taken;
    taken.swap(recorded);
    return taken;
}
