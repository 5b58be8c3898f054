#pragma once

#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>

// The benchmarks run the real window without a screen. The offscreen platform says it cannot
// resize to hints each time a window is shown; that line would drown the figures.
inline void quietOffscreenNoise(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (message.contains(QLatin1String("propagateSizeHints")))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(message));
    if (type == QtFatalMsg)
        std::abort();
}

// Call before constructing the QApplication.
inline void useQuietOffscreenPlatform()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(quietOffscreenNoise);
}
