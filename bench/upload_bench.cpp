// Times a full-image upload over loopback by the real window, by a blocking POSIX client that
// waits for each reply (what the protocol allows at best) and by the command-line tool, each
// against bootloader-sim processes; also the window's longest event-loop gap and peak RSS.
// Prints details, then one "ROW|measure|median|target|met|notes" line per measure.

#include "bench/offscreen.h"
#include "core/datagram.h"
#include "core/firmwareimage.h"
#include "core/flashprocedure.h"
#include "window/mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int DefaultRuns = 7;
constexpr int UploadLimitMs = 60000;
constexpr int Exchanges = 2 + FirmwareImageSize / WriteBlockSize; // Start, the Writes, End
constexpr double RatioTarget = 1.3;
constexpr double DelayedTargetMs = Exchanges * 1.0 * 1.05; // 1 ms per exchange, plus 5 %
constexpr double GapTargetMs = 20;
constexpr double RssTargetMb = 60;
const char Loopback[] = "127.0.0.1";
const char Verdict[] = "Connected. Uploading has been completed successful!";

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double spreadMin(const std::vector<double> &v)
{
    return *std::min_element(v.begin(), v.end());
}

double spreadMax(const std::vector<double> &v)
{
    return *std::max_element(v.begin(), v.end());
}

double processCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

QString ms(double value)
{
    return QStringLiteral("%1 ms").arg(value, 0, 'f', 1);
}

QString range(const std::vector<double> &v)
{
    return QStringLiteral("min %1, max %2, %3 runs")
        .arg(ms(spreadMin(v)), ms(spreadMax(v)))
        .arg(v.size());
}

void row(const QString &measure, const QString &value, const QString &target, int met,
         const QString &notes)
{
    const char *verdict = met < 0 ? "—" : met ? "met" : "missed";
    std::printf("ROW|%s|%s|%s|%s|%s\n", qPrintable(measure), qPrintable(value), qPrintable(target),
                verdict, qPrintable(notes));
    std::fflush(stdout);
}

void fail(const QString &why)
{
    std::fprintf(stderr, "bench_upload: %s\n", qPrintable(why));
    std::exit(1);
}

// A bootloader-sim process on 127.0.0.1 and a port of its own choosing.
class Simulator
{
public:
    Simulator(const QString &program, int delayMs)
    {
        QStringList arguments{QStringLiteral("--bind"), QLatin1String(Loopback),
                              QStringLiteral("--port"), QStringLiteral("0"),
                              QStringLiteral("--quiet")};
        if (delayMs > 0)
            arguments << QStringLiteral("--delay-ms") << QString::number(delayMs);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(program, arguments);
        if (!m_process.waitForStarted(5000))
            fail(QStringLiteral("cannot start %1: %2").arg(program, m_process.errorString()));
        static const QRegularExpression listening(
            QStringLiteral("^bootloader-sim listening on 127\\.0\\.0\\.1:(\\d+)$"));
        while (!m_process.canReadLine()) {
            if (!m_process.waitForReadyRead(10000))
                fail(QStringLiteral("%1 did not say where it listens").arg(program));
        }
        const QString line = QString::fromLocal8Bit(m_process.readLine()).trimmed();
        const QRegularExpressionMatch match = listening.match(line);
        m_port = match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
        if (m_port == 0)
            fail(QStringLiteral("unexpected first line from the simulator: \"%1\"").arg(line));
    }
    ~Simulator()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    quint16 port() const { return m_port; }

private:
    QProcess m_process;
    quint16 m_port = 0;
};

// Pins this process, and the simulator it starts meanwhile, to one CPU while it lives. On a
// virtual machine a lock-step exchange that lets a CPU go idle pays the wake-up of a halted
// virtual CPU (tens of microseconds, varying with the guest's halt-polling) per datagram, which
// swamps what the clients themselves cost. On one CPU, client and simulator hand over without
// idling: the time is their CPU cost and the kernel's, and it repeats run to run.
class PinnedToOneCpu
{
public:
    PinnedToOneCpu()
    {
        if (::sched_getaffinity(0, sizeof m_previous, &m_previous) != 0)
            fail(QStringLiteral("sched_getaffinity failed"));
        int cpu = 0;
        while (cpu < CPU_SETSIZE && !CPU_ISSET(cpu, &m_previous))
            ++cpu;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        if (::sched_setaffinity(0, sizeof one, &one) != 0)
            fail(QStringLiteral("sched_setaffinity failed"));
    }
    ~PinnedToOneCpu() { ::sched_setaffinity(0, sizeof m_previous, &m_previous); }
    PinnedToOneCpu(const PinnedToOneCpu &) = delete;
    PinnedToOneCpu &operator=(const PinnedToOneCpu &) = delete;

private:
    cpu_set_t m_previous;
};

struct WindowRun
{
    double wallMs = 0;
    double cpuMs = 0;
    double longestGapMs = 0;
};

template <typename T> T *child(const MainWindow &window, const char *name)
{
    T *found = window.findChild<T *>(QLatin1String(name));
    if (!found)
        fail(QStringLiteral("the window has no %1").arg(QLatin1String(name)));
    return found;
}

// Connects a fresh window to 127.0.0.1:port and times one upload from the click on
// "Start Upload" to the verdict on the status bar. With watchGaps a 1 ms timer measures the
// longest stretch the event loop spent without serving it.
WindowRun uploadWithWindow(quint16 port, const QString &imagePath, bool watchGaps)
{
    MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        fail(QStringLiteral("the window was never exposed"));
    auto *address = child<QLineEdit>(window, "pLineEditIP");
    auto *portField = child<QLineEdit>(window, "pLineEditPORT");
    auto *status = child<QStatusBar>(window, "statusbar");
    address->setText(QLatin1String(Loopback));
    QMetaObject::invokeMethod(&window, "on_pLineEditIP_editingFinished");
    portField->setText(QString::number(port));
    QMetaObject::invokeMethod(&window, "on_pLineEditPORT_editingFinished");
    // The window starts on a real LAN address: nothing may leave before it holds loopback.
    if (address->text() != QLatin1String(Loopback) || portField->text() != QString::number(port))
        fail(QStringLiteral("the window did not take 127.0.0.1:%1; not connecting").arg(port));
    QTest::mouseClick(child<QPushButton>(window, "pButConnectToggle"), Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return status->currentMessage() == QLatin1String("Connected"); },
                         5000))
        fail(QStringLiteral("the window did not connect to the simulator"));
    child<QLineEdit>(window, "pLineFileName")->setText(imagePath);
    auto *upload = child<QPushButton>(window, "pButStartUpload");
    if (!upload->isEnabled())
        fail(QStringLiteral("\"Start Upload\" is disabled after connecting"));

    QElapsedTimer clock;
    QEventLoop loop;
    qint64 doneNs = -1;
    double doneCpuMs = 0;
    QString failure;
    QObject::connect(status, &QStatusBar::messageChanged, &loop, [&](const QString &text) {
        if (text == QLatin1String(Verdict)) {
            doneNs = clock.nsecsElapsed();
            doneCpuMs = processCpuMs();
        } else if (!text.startsWith(QLatin1String("Connected. ")) ||
                   text.contains(QLatin1String("error"))) {
            failure = text;
        } else {
            return;
        }
        loop.quit();
    });
    qint64 lastTickNs = 0;
    qint64 longestGapNs = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longestGapNs = std::max(longestGapNs, now - lastTickNs);
        lastTickNs = now;
    });
    QTimer::singleShot(UploadLimitMs, &loop, [&] {
        failure = QStringLiteral("no verdict within %1 ms").arg(UploadLimitMs);
        loop.quit();
    });

    const double cpuStart = processCpuMs();
    clock.start();
    if (watchGaps)
        ticker.start(1);
    QTest::mouseClick(upload, Qt::LeftButton);
    if (doneNs < 0 && failure.isEmpty())
        loop.exec();
    ticker.stop();
    if (doneNs < 0)
        fail(QStringLiteral("window upload failed: %1").arg(failure));
    longestGapNs = std::max(longestGapNs, doneNs - lastTickNs);
    return {double(doneNs) / 1e6, doneCpuMs - cpuStart, double(longestGapNs) / 1e6};
}

struct ClientRun
{
    double wallMs = 0;
    double cpuMs = 0;
};

// A client's upload as the flash procedure runs it: "Start", then after each success reply the
// next request, until nothing is left to send.
struct UploadSteps
{
    const QByteArray &image;
    UploadStage stage = StageErasing;
    quint32 offset = 0;

    // The request after a success reply; nullptr once the reply to "End" has come.
    const char *next(const char **payload, int *length)
    {
        const FlashProcedure::Step step =
            FlashProcedure::onReply(stage, true, offset, image.size());
        stage = step.stage;
        *payload = nullptr;
        *length = 0;
        if (step.action == FlashProcedure::Action::SendEnd)
            return CommandName::End;
        if (step.action != FlashProcedure::Action::SendBlock)
            return nullptr;
        *payload = image.constData() + offset;
        *length = FlashProcedure::blockLength(offset, image.size());
        offset += quint32(*length);
        return CommandName::Write;
    }
};

// The same 1794 requests with one blocking socket and no event loop: send, wait, next.
ClientRun uploadWithPosixClient(quint16 port, const QByteArray &image)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail(QStringLiteral("socket() failed"));
    const timeval replyLimit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &replyLimit, sizeof replyLimit);
    sockaddr_in device{};
    device.sin_family = AF_INET;
    device.sin_port = htons(port);
    device.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto *to = reinterpret_cast<const sockaddr *>(&device);

    quint8 sequence = 0;
    auto exchange = [&](const char *name, const char *payload, int payloadLength) {
        char buffer[DatagramBufferSize] = {};
        sequence = Datagram::nextSequence(sequence);
        const int length =
            Datagram::buildCommand(buffer, CmdRequest, sequence, name, payload, payloadLength);
        if (length < 0 || ::sendto(fd, buffer, size_t(length), 0, to, sizeof device) != length)
            return false;
        char reply[64] = {};
        const ssize_t got = ::recv(fd, reply, sizeof reply, 0);
        return got > 0 &&
               Datagram::classifyReply(reply, got, sequence) == Datagram::ReplyKind::Success;
    };

    const double cpuStart = processCpuMs();
    QElapsedTimer clock;
    clock.start();
    UploadSteps steps{image};
    const char *payload = nullptr;
    int payloadLength = 0;
    bool ok = exchange(CommandName::Start, nullptr, 0);
    while (ok) {
        const char *name = steps.next(&payload, &payloadLength);
        if (!name)
            break;
        ok = exchange(name, payload, payloadLength);
    }
    const ClientRun run{double(clock.nsecsElapsed()) / 1e6, processCpuMs() - cpuStart};
    ::close(fd);
    if (!ok)
        fail(QStringLiteral("POSIX client upload failed at sequence %1").arg(sequence));
    return run;
}

// The same 1794 requests from a bare QUdpSocket in this event loop, no widgets: what any Qt
// client pays per datagram, the floor for the window.
ClientRun uploadWithQtClient(quint16 port, const QByteArray &image)
{
    QUdpSocket socket;
    const QHostAddress device(QHostAddress::LocalHost); // 127.0.0.1
    QEventLoop loop;
    quint8 sequence = 0;
    UploadSteps steps{image};
    bool ok = true;
    auto send = [&](const char *name, const char *payload, int payloadLength) {
        char buffer[DatagramBufferSize] = {};
        sequence = Datagram::nextSequence(sequence);
        const int length =
            Datagram::buildCommand(buffer, CmdRequest, sequence, name, payload, payloadLength);
        return length > 0 && socket.writeDatagram(buffer, length, device, port) == length;
    };
    QObject::connect(&socket, &QUdpSocket::readyRead, &loop, [&] {
        char reply[64] = {};
        const qint64 got = socket.readDatagram(reply, sizeof reply);
        if (Datagram::classifyReply(reply, got, sequence) != Datagram::ReplyKind::Success) {
            ok = false;
            loop.quit();
            return;
        }
        const char *payload = nullptr;
        int payloadLength = 0;
        const char *name = steps.next(&payload, &payloadLength);
        if (!name)
            loop.quit();
        else if (!send(name, payload, payloadLength))
            ok = false;
    });
    QTimer::singleShot(UploadLimitMs, &loop, [&] {
        ok = false;
        loop.quit();
    });
    const double cpuStart = processCpuMs();
    QElapsedTimer clock;
    clock.start();
    if (!send(CommandName::Start, nullptr, 0))
        fail(QStringLiteral("the Qt client could not send"));
    loop.exec();
    const ClientRun run{double(clock.nsecsElapsed()) / 1e6, processCpuMs() - cpuStart};
    if (!ok)
        fail(QStringLiteral("Qt client upload failed at sequence %1").arg(sequence));
    return run;
}

// Whole process time of `bootloader-cli upload`, start to exit.
double uploadWithCli(const QString &program, const QString &imagePath,
                     const std::vector<quint16> &ports, QString *summary)
{
    QStringList arguments{QStringLiteral("upload"), imagePath, QStringLiteral("--quiet")};
    for (const quint16 port : ports)
        arguments << QStringLiteral("--device") << QStringLiteral("%1:%2").arg(Loopback).arg(port);
    QProcess cli;
    cli.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    clock.start();
    cli.start(program, arguments);
    if (!cli.waitForFinished(UploadLimitMs))
        fail(QStringLiteral("%1 did not finish").arg(program));
    const double wallMs = double(clock.nsecsElapsed()) / 1e6;
    *summary = QString::fromLocal8Bit(cli.readAllStandardOutput()).trimmed();
    if (cli.exitStatus() != QProcess::NormalExit || cli.exitCode() != 0)
        fail(QStringLiteral("%1 failed (exit %2): %3")
                 .arg(program)
                 .arg(cli.exitCode())
                 .arg(*summary));
    return wallMs;
}

std::vector<double> valuesOf(const std::vector<WindowRun> &runs, double WindowRun::*field)
{
    std::vector<double> values;
    for (const WindowRun &run : runs)
        values.push_back(run.*field);
    return values;
}

std::vector<double> valuesOf(const std::vector<ClientRun> &runs, double ClientRun::*field)
{
    std::vector<double> values;
    for (const ClientRun &run : runs)
        values.push_back(run.*field);
    return values;
}

void detail(const char *what, const std::vector<double> &wall, const std::vector<double> &cpu)
{
    std::printf("%-46s median %8.1f ms  (%s)  cpu median %7.1f ms\n", what, median(wall),
                qPrintable(range(wall)), median(cpu));
    std::fflush(stdout);
}

// Measure 1: the window against the blocking client and a bare Qt client, interleaved so all
// see the same load.
void compareWithLimit(const QString &simProgram, const QString &imagePath, const QByteArray &image,
                      int runs, bool pinned)
{
    std::unique_ptr<PinnedToOneCpu> pin;
    if (pinned)
        pin = std::make_unique<PinnedToOneCpu>();
    const Simulator simulator(simProgram, 0); // started after pinning: it inherits the CPU
    const quint16 port = simulator.port();
    std::vector<WindowRun> window;
    std::vector<ClientRun> posix, qt;
    for (int i = 0; i < runs; ++i) {
        window.push_back(uploadWithWindow(port, imagePath, false));
        posix.push_back(uploadWithPosixClient(port, image));
        qt.push_back(uploadWithQtClient(port, image));
    }
    const char *condition = pinned ? "all on one CPU" : "free to idle";
    const std::vector<double> windowMs = valuesOf(window, &WindowRun::wallMs);
    const std::vector<double> posixMs = valuesOf(posix, &ClientRun::wallMs);
    detail(qPrintable(QStringLiteral("window upload, %1").arg(QLatin1String(condition))), windowMs,
           valuesOf(window, &WindowRun::cpuMs));
    detail(qPrintable(QStringLiteral("POSIX client, %1").arg(QLatin1String(condition))), posixMs,
           valuesOf(posix, &ClientRun::cpuMs));
    const std::vector<double> qtMs = valuesOf(qt, &ClientRun::wallMs);
    detail(qPrintable(QStringLiteral("bare QUdpSocket client, %1").arg(QLatin1String(condition))),
           qtMs, valuesOf(qt, &ClientRun::cpuMs));
    const double ratio = median(windowMs) / median(posixMs);
    const QString when = QStringLiteral(" (%1)").arg(QLatin1String(condition));
    row(QStringLiteral("1. Window upload, 917504 B, click to verdict") + when, ms(median(windowMs)),
        QStringLiteral("—"), -1,
        range(windowMs) + QStringLiteral("; process CPU median %1")
                              .arg(ms(median(valuesOf(window, &WindowRun::cpuMs)))));
    row(QStringLiteral("1. Blocking POSIX client, same 1794 exchanges") + when, ms(median(posixMs)),
        QStringLiteral("—"), -1,
        range(posixMs) + QStringLiteral("; process CPU median %1")
                             .arg(ms(median(valuesOf(posix, &ClientRun::cpuMs)))));
    row(QStringLiteral("1. Ratio window / POSIX client") + when, QString::number(ratio, 'f', 2),
        QStringLiteral("≤ %1").arg(RatioTarget, 0, 'f', 1), ratio <= RatioTarget,
        QStringLiteral("ratio of the medians; a bare QUdpSocket client (no widgets) takes %1, "
                       "%2 × the POSIX client")
            .arg(ms(median(qtMs)))
            .arg(median(qtMs) / median(posixMs), 0, 'f', 2));
}

} // namespace

int main(int argc, char *argv[])
{
    useQuietOffscreenPlatform();
    QApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Upload timings over loopback."));
    parser.addHelpOption();
    const QString buildRoot = QCoreApplication::applicationDirPath() + QStringLiteral("/..");
    const QCommandLineOption runsOption(QStringLiteral("runs"), QStringLiteral("Runs per measure."),
                                        QStringLiteral("n"), QString::number(DefaultRuns));
    const QCommandLineOption simOption(QStringLiteral("sim"), QStringLiteral("bootloader-sim."),
                                       QStringLiteral("path"),
                                       buildRoot + QStringLiteral("/bootloader-sim"));
    const QCommandLineOption cliOption(QStringLiteral("cli"), QStringLiteral("bootloader-cli."),
                                       QStringLiteral("path"),
                                       buildRoot + QStringLiteral("/bootloader-cli"));
    const QCommandLineOption onlyOption(
        QStringLiteral("only"), QStringLiteral("Run one group: window, delayed, gaps or cli."),
        QStringLiteral("group"));
    parser.addOptions({runsOption, simOption, cliOption, onlyOption});
    parser.process(app);
    const int runs = std::max(1, parser.value(runsOption).toInt());
    const QString only = parser.value(onlyOption);
    auto wanted = [&](const char *group) {
        return only.isEmpty() || only == QLatin1String(group);
    };

    QTemporaryDir dir;
    if (!dir.isValid())
        fail(QStringLiteral("no temporary folder"));
    QByteArray raw(FirmwareBodySize, 0);
    for (int i = 0; i < raw.size(); ++i)
        raw[i] = char(i * 7 + i / 251);
    const QByteArray image = buildFirmwareImage(raw);
    raw.clear();
    raw.squeeze();
    const QString imagePath = dir.filePath(QStringLiteral("image.bin"));
    QFile file(imagePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        fail(QStringLiteral("cannot write %1").arg(imagePath));
    file.close();
    const QString simProgram = parser.value(simOption);

    if (wanted("window")) {
        compareWithLimit(simProgram, imagePath, image, runs, false);
        compareWithLimit(simProgram, imagePath, image, runs, true);
    }

    if (wanted("delayed")) {
        const Simulator simulator(simProgram, 1);
        std::vector<WindowRun> window;
        std::vector<ClientRun> posix;
        for (int i = 0; i < runs; ++i) {
            window.push_back(uploadWithWindow(simulator.port(), imagePath, false));
            posix.push_back(uploadWithPosixClient(simulator.port(), image));
        }
        const std::vector<double> windowMs = valuesOf(window, &WindowRun::wallMs);
        const std::vector<double> posixMs = valuesOf(posix, &ClientRun::wallMs);
        detail("window upload, --delay-ms 1", windowMs, valuesOf(window, &WindowRun::cpuMs));
        detail("POSIX client, --delay-ms 1", posixMs, valuesOf(posix, &ClientRun::cpuMs));
        const QString target = QStringLiteral("≤ %1 (1794 ms + 5 %)").arg(ms(DelayedTargetMs));
        row(QStringLiteral("2. Window upload, simulator --delay-ms 1"), ms(median(windowMs)),
            target, median(windowMs) <= DelayedTargetMs,
            range(windowMs) + QStringLiteral("; %1 × the POSIX client")
                                  .arg(median(windowMs) / median(posixMs), 0, 'f', 3));
        row(QStringLiteral("2. POSIX client, simulator --delay-ms 1"), ms(median(posixMs)), target,
            median(posixMs) <= DelayedTargetMs, range(posixMs));
    }

    if (wanted("gaps")) {
        const Simulator simulator(simProgram, 0);
        std::vector<WindowRun> window;
        for (int i = 0; i < runs; ++i)
            window.push_back(uploadWithWindow(simulator.port(), imagePath, true));
        const std::vector<double> gaps = valuesOf(window, &WindowRun::longestGapMs);
        detail("window upload with a 1 ms timer running", valuesOf(window, &WindowRun::wallMs),
               valuesOf(window, &WindowRun::cpuMs));
        row(QStringLiteral("4. Longest event-loop gap during a window upload"), ms(median(gaps)),
            QStringLiteral("≤ %1").arg(ms(GapTargetMs)), median(gaps) <= GapTargetMs,
            QStringLiteral("per-run longest; ") + range(gaps));
    }

    if (wanted("window") || wanted("delayed") || wanted("gaps")) {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        const double peakMb = double(usage.ru_maxrss) / 1024.0; // kilobytes on Linux
        row(QStringLiteral("4. Peak RSS of the process running the window"),
            QStringLiteral("%1 MB").arg(peakMb, 0, 'f', 1),
            QStringLiteral("≤ %1 MB").arg(RssTargetMb, 0, 'f', 0), peakMb <= RssTargetMb,
            QStringLiteral("ru_maxrss after all window uploads; includes this harness"));
    }

    if (wanted("cli")) {
        const Simulator first(simProgram, 0);
        const Simulator second(simProgram, 0);
        const Simulator third(simProgram, 0);
        const QString cliProgram = parser.value(cliOption);
        std::vector<double> one, three;
        QString summaryOne, summaryThree;
        for (int i = 0; i < runs; ++i) {
            one.push_back(uploadWithCli(cliProgram, imagePath, {first.port()}, &summaryOne));
            three.push_back(uploadWithCli(
                cliProgram, imagePath, {first.port(), second.port(), third.port()}, &summaryThree));
        }
        std::printf("CLI summary, one device:\n%s\nCLI summary, three devices:\n%s\n",
                    qPrintable(summaryOne), qPrintable(summaryThree));
        row(QStringLiteral("5. CLI upload to 1 simulator (process start to exit)"), ms(median(one)),
            QStringLiteral("—"), -1, range(one));
        row(QStringLiteral("5. CLI upload to 3 simulators at once"), ms(median(three)),
            QStringLiteral("—"), -1, range(three));
    }
    return 0;
}
