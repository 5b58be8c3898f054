// Times "Start postbuild" on the real window, click to status, for a full-size input, and the
// checksum over a full image body. Prints medians in milliseconds.

#include "image/crc32.h"
#include "mainwindow/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

constexpr int Runs = 25;
constexpr int BodySize = 917500;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void report(const char *what, const std::vector<double> &ms)
{
    std::printf("%-40s median %7.3f ms  min %7.3f ms  max %7.3f ms  (%zu runs)\n", what, median(ms),
                *std::min_element(ms.begin(), ms.end()), *std::max_element(ms.begin(), ms.end()),
                ms.size());
}

template <typename F> std::vector<double> time(F run)
{
    std::vector<double> ms;
    for (int i = 0; i < Runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        if (!run())
            return {};
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    return ms;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QByteArray body(BodySize, 0);
    for (int i = 0; i < BodySize; ++i)
        body[i] = char(i * 7 + i / 251);

    volatile quint32 sink = 0;
    const auto crc = time([&] {
        sink = sink ^ crc32Compute(body.constData(), body.size());
        return true;
    });
    report("crc32Compute over 917500 bytes", crc);

    QTemporaryDir dir;
    const QString previous = QDir::currentPath();
    if (!dir.isValid() || !QDir::setCurrent(dir.path()))
        return 1;
    QFile input(QStringLiteral("raw.bin"));
    if (!input.open(QIODevice::WriteOnly) || input.write(body) != body.size())
        return 1;
    input.close();

    MainWindow window;
    window.findChild<QLineEdit *>(QStringLiteral("pLineFileName"))->setText(input.fileName());
    auto *button = window.findChild<QPushButton *>(QStringLiteral("pButPostBuild"));
    auto *status = window.findChild<QStatusBar *>(QStringLiteral("statusbar"));
    const QString success = QStringLiteral("Postbuild is completed successful");
    const auto click = time([&] {
        status->clearMessage();
        QTest::mouseClick(button, Qt::LeftButton);
        return status->currentMessage() == success;
    });
    QDir::setCurrent(previous);
    if (click.wall.empty()) {
        std::printf("post-build did not report success\n");
        return 1;
    }
    report("post-build click to status (917500 B)", click);
    return 0;
}
