#include "support/strictmessages.h"

#include <QtGlobal>

namespace {
QtMessageHandler previousHandler = nullptr;
QStringList recorded;

void recordingHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    // The offscreen platform says this for every window it shows; it is no fault of ours.
    const bool platformNoise = text.contains(QLatin1String("propagateSizeHints"));
    if ((type == QtWarningMsg || type == QtCriticalMsg) && !platformNoise)
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
