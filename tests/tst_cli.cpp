#include "image/firmwarefile.h"
#include "image/firmwareimage.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>
#include <memory>
#include <vector>

namespace {

constexpr int CliWaitMs = 20000;

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

QByteArray patternBytes(int size, int seed)
{
    QByteArray bytes(size, 0);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 31 + i / 509 + seed);
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

} // namespace

using SimOptions = QVector<QStringList>;
Q_DECLARE_METATYPE(SimOptions)

// The command-line tool as a build script runs it: a separate process against real simulators
// on loopback, judged by exit status, its output and the bytes that reach the devices.
class CliTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void uploadsImage_data();
    void uploadsImage();
    void deviceOutcome_data();
    void deviceOutcome();
    void verboseListsCommands();
    void refusedFile_data();
    void refusedFile();
    void usageError_data();
    void usageError();
    void helpDocumentsExitStatus();
    void postbuild_data();
    void postbuild();
    void postbuildRefused_data();
    void postbuildRefused();

private:
    quint16 startSim(const QStringList &options);
    QString simLog(int index) const;
    Run runCli(const QStringList &arguments);
    QString path(const QString &name) const { return m_dir->filePath(name); }

    QString m_cli;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::vector<std::unique_ptr<QProcess>> m_sims;
};

void CliTest::initTestCase()
{
    m_cli = QStringLiteral(BOOTLOADER_CLI_PATH);
    QVERIFY2(QFileInfo(m_cli).isExecutable(), qPrintable(m_cli));
}

void CliTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void CliTest::cleanup()
{
    for (const auto &sim : m_sims) {
        sim->terminate();
        if (!sim->waitForFinished(3000))
            sim->kill();
        sim->waitForFinished(3000);
    }
    m_sims.clear();
    m_dir.reset();
}

quint16 CliTest::startSim(const QStringList &options)
{
    auto sim = std::make_unique<QProcess>();
    // A file, not a pipe: a verbose simulator must not stall while the test waits on the CLI.
    sim->setStandardErrorFile(path(QStringLiteral("sim%1.log").arg(m_sims.size())));
    sim->start(QStringLiteral(BOOTLOADER_SIM_PATH), QStringList{"--port", "0"} + options);
    while (sim->waitForStarted(5000) && !sim->canReadLine()) {
        if (!sim->waitForReadyRead(5000))
            break;
    }
    static const QRegularExpression listening(
        QStringLiteral("^bootloader-sim listening on 127\\.0\\.0\\.1:(\\d+)\\n$"));
    const QRegularExpressionMatch match = listening.match(QString::fromLatin1(sim->readLine()));
    m_sims.push_back(std::move(sim));
    return match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
}

QString CliTest::simLog(int index) const
{
    return QString::fromLatin1(readFile(path(QStringLiteral("sim%1.log").arg(index))));
}

Run CliTest::runCli(const QStringList &arguments)
{
    QProcess cli;
    cli.setWorkingDirectory(m_dir->path());
    cli.start(m_cli, arguments);
    Run run;
    if (!cli.waitForFinished(CliWaitMs) || cli.exitStatus() != QProcess::NormalExit) {
        cli.kill();
        cli.waitForFinished(3000);
        return run;
    }
    run.exitCode = cli.exitCode();
    run.out = QString::fromLocal8Bit(cli.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(cli.readAllStandardError());
    return run;
}

void CliTest::uploadsImage_data()
{
    QTest::addColumn<int>("devices");
    QTest::newRow("one device") << 1;
    QTest::newRow("three devices at once") << 3;
}

void CliTest::uploadsImage()
{
    QFETCH(int, devices);
    const QByteArray image = buildFirmwareImage(patternBytes(600000, devices));
    QVERIFY(writeFile(path("X.bin"), image));
    QStringList arguments{"upload", "X.bin"};
    QStringList checkArguments{"check"};
    QVector<quint16> ports;
    for (int i = 0; i < devices; ++i) {
        ports.append(startSim({"--save", path(QStringLiteral("saved%1.bin").arg(i))}));
        QVERIFY(ports.last() != 0);
        arguments << "--device" << QStringLiteral("127.0.0.1:%1").arg(ports.last());
        checkArguments << "-d" << QStringLiteral("127.0.0.1:%1").arg(ports.last());
    }

    const Run run = runCli(arguments);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err + run.out));
    const QStringList summary = run.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(summary.size(), devices);
    for (int i = 0; i < devices; ++i) {
        QVERIFY(readFile(path(QStringLiteral("saved%1.bin").arg(i))) == image);
        const QString device = QStringLiteral("127.0.0.1:%1").arg(ports[i]);
        QVERIFY2(QRegularExpression(QStringLiteral("^%1 +ok +[0-9.]+ s +Uploading has been "
                                                   "completed successful!$")
                                        .arg(QRegularExpression::escape(device)))
                     .match(summary[i])
                     .hasMatch(),
                 qPrintable(summary[i]));
        // Not a terminal: one progress line per 10 %, in order.
        QStringList progress;
        for (const QString &line : run.err.split('\n')) {
            if (line.startsWith(device + ' '))
                progress << line.mid(device.size()).simplified();
        }
        QCOMPARE(progress, QStringList({"10 %", "20 %", "30 %", "40 %", "50 %", "60 %", "70 %",
                                        "80 %", "90 %", "100 %"}));
    }

    const Run check = runCli(checkArguments);
    QCOMPARE(check.exitCode, 0);
    QCOMPARE(check.out.count(QStringLiteral("Checked successful!")), devices);
}

void CliTest::deviceOutcome_data()
{
    QTest::addColumn<SimOptions>("sims");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("results");
    QTest::addColumn<QString>("firstSimSaw");

    const QStringList upload{"upload", "X.bin"};
    const QStringList check{"check"};
    const QStringList quickUpload = upload + QStringList{"--timeout", "0.5"};
    QTest::newRow("End refused") << SimOptions{{"--fail", "End"}} << upload << 1
                                 << QStringList{"failed"} << QString();
    QTest::newRow("Start refused")
        << SimOptions{{"--fail", "Start"}} << upload << 1 << QStringList{"failed"} << QString();
    QTest::newRow("Write refused")
        << SimOptions{{"--fail", "Write"}} << upload << 1 << QStringList{"failed"} << QString();
    QTest::newRow("check of a device without an image")
        << SimOptions{{}} << check << 1 << QStringList{"failed"} << QString();
    QTest::newRow("start is a notice, sent once the link is up")
        << SimOptions{{"--verbose"}} << QStringList{"start"} << 0 << QStringList{"ok"}
        << "<- notice StartApplication seq=2 len=19";
    QTest::newRow("wrong sequence ends with an End notice")
        << SimOptions{{"--wrong-seq-every", "30", "--verbose"}} << upload << 3
        << QStringList{"sequence mismatch"} << "<- notice End seq=31 len=6";
    QTest::newRow("device never answers")
        << SimOptions{{"--silent-after-ms", "0"}} << QStringList{"check", "-t", "0.5"} << 3
        << QStringList{"timed out"} << QString();
    QTest::newRow("start waits for the link")
        << SimOptions{{"--silent-after-ms", "0", "--verbose"}}
        << QStringList{"start", "--timeout", "0.5"} << 3 << QStringList{"timed out"}
        << "<- request Ping seq=1 len=7";
    QTest::newRow("pings unanswered mid-upload")
        << SimOptions{{"--silent-after-ms", "300", "--delay-ms", "1"}} << quickUpload << 3
        << QStringList{"timed out"} << QString();
    QTest::newRow("a Write reply lost") << SimOptions{{"--drop-every", "200"}} << quickUpload << 3
                                        << QStringList{"timed out"} << QString();
    QTest::newRow("one refusal among successes")
        << SimOptions{{}, {"--fail", "End"}, {}} << upload << 1 << QStringList{"ok", "failed", "ok"}
        << QString();
    QTest::newRow("a lost device outranks a refusal")
        << SimOptions{{"--fail", "End"}, {"--drop-every", "100"}, {}} << quickUpload << 3
        << QStringList{"failed", "timed out", "ok"} << QString();
}

void CliTest::deviceOutcome()
{
    QFETCH(SimOptions, sims);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, results);
    QFETCH(QString, firstSimSaw);
    QVERIFY(writeFile(path("X.bin"), buildFirmwareImage("firmware")));
    for (const QStringList &options : sims) {
        const quint16 port = startSim(options);
        QVERIFY(port != 0);
        arguments << "--device" << QStringLiteral("127.0.0.1:%1").arg(port);
    }

    const Run run = runCli(arguments);
    QTEST(run.exitCode, "exitCode");
    static const QRegularExpression summaryLine(QStringLiteral("^\\S+ +(.+?) +[0-9.]+ s  "));
    QStringList seen;
    for (const QString &line : run.out.split('\n', Qt::SkipEmptyParts))
        seen << summaryLine.match(line).captured(1);
    QVERIFY2(seen == results, qPrintable(run.out + run.err));
    if (!firstSimSaw.isEmpty())
        QTRY_VERIFY2(simLog(0).contains(firstSimSaw), qPrintable(simLog(0).right(500)));
    if (QTest::currentDataTag() == QByteArray("start waits for the link"))
        QVERIFY(!simLog(0).contains(QLatin1String("StartApplication")));
}

void CliTest::verboseListsCommands()
{
    const quint16 port = startSim({});
    const Run run =
        runCli({"check", "--verbose", "--device", QStringLiteral("127.0.0.1:%1").arg(port)});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(QRegularExpression("Ping +seq +1 +keep-alive 0x73 +[0-9.]+ ms\n")),
             qPrintable(run.err));
    QVERIFY2(run.err.contains(QRegularExpression("Check +seq +2 +FAILURE 0x03 +[0-9.]+ ms\n")),
             qPrintable(run.err));
}

void CliTest::refusedFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message");

    const QByteArray image = buildFirmwareImage(QByteArray());
    QTest::newRow("empty name") << "" << QByteArray() << FirmwareMessages::SelectFile;
    QTest::newRow("suffix in capitals") << "X.BIN" << image << FirmwareMessages::SelectFile;
    QTest::newRow("suffix not last") << "X.bin.bak" << image << FirmwareMessages::SelectFile;
    QTest::newRow("missing file") << "absent.bin" << QByteArray() << FirmwareMessages::NotFound;
    QTest::newRow("one byte short")
        << "X.bin" << image.left(FirmwareImageSize - 1) << FirmwareMessages::WrongSize;
    QTest::newRow("one byte long") << "X.bin" << image + 'x' << FirmwareMessages::WrongSize;
    QTest::newRow("empty file") << "X.bin" << QByteArray("") << FirmwareMessages::WrongSize;
    QTest::newRow("a folder, not a file") << "folder.bin" << QByteArray() << "could not be read";
}

void CliTest::refusedFile()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    if (name == QLatin1String("folder.bin"))
        QVERIFY(QDir(m_dir->path()).mkdir(name));
    else if (!content.isNull())
        QVERIFY(writeFile(path(name), content));
    QUdpSocket device;
    QVERIFY(device.bind(QHostAddress(QHostAddress::LocalHost), 0));

    const Run run = runCli(
        {"upload", name, "--device", QStringLiteral("127.0.0.1:%1").arg(device.localPort())});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
    QVERIFY(!device.hasPendingDatagrams()); // refused before anything was sent
}

void CliTest::usageError_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    const QString device = QStringLiteral("127.0.0.1:%1"); // %1: the test's silent socket
    QTest::newRow("no command") << QStringList{} << "no command given";
    QTest::newRow("unknown command") << QStringList{"flash", "-d", device} << "unknown command";
    QTest::newRow("unknown option")
        << QStringList{"check", "-d", device, "--speed", "9"} << "Unknown option 'speed'";
    QTest::newRow("upload without a device") << QStringList{"upload", "X.bin"} << "--device";
    QTest::newRow("upload without a file") << QStringList{"upload", "-d", device} << "one file";
    QTest::newRow("check with a file")
        << QStringList{"check", "X.bin", "-d", device} << "takes no file";
    QTest::newRow("device by name")
        << QStringList{"check", "-d", "localhost"} << "names are not looked up";
    QTest::newRow("IPv4 short form")
        << QStringList{"check", "-d", "127.1"} << "not an IPv4 or IPv6 address";
    QTest::newRow("IPv4 out of range")
        << QStringList{"check", "-d", "300.1.1.1:5"} << "not an IPv4 or IPv6 address";
    QTest::newRow("IPv6 with port, no brackets")
        << QStringList{"check", "-d", "::1:31120"} << "not an IPv4 or IPv6 address";
    QTest::newRow("brackets around IPv4")
        << QStringList{"check", "-d", "[127.0.0.1]:5"} << "not an IPv4 or IPv6 address";
    QTest::newRow("port 0") << QStringList{"check", "-d", "127.0.0.1:0"} << "from 1 to 65535";
    QTest::newRow("port 65536") << QStringList{"check", "-d", "[::1]:65536"} << "from 1 to 65535";
    QTest::newRow("empty port") << QStringList{"check", "-d", "127.0.0.1:"} << "from 1 to 65535";
    QTest::newRow("any-address") << QStringList{"check", "-d", "0.0.0.0"} << "not the address";
    QTest::newRow("same device twice")
        << QStringList{"check", "-d", device, "-d", "[::ffff:127.0.0.1]:%1"} << "given twice";
    QTest::newRow("zero timeout") << QStringList{"check", "-d", device, "-t", "0"} << "--timeout";
    QTest::newRow("timeout not a number")
        << QStringList{"check", "-d", device, "-t", "soon"} << "--timeout";
    QTest::newRow("output outside postbuild")
        << QStringList{"check", "-d", device, "-o", "a.bin"} << "--output is for postbuild only";
    QTest::newRow("device for postbuild")
        << QStringList{"postbuild", "X.bin", "-d", device} << "postbuild takes no --device";
    QTest::newRow("quiet and verbose")
        << QStringList{"check", "-d", device, "-q", "--verbose"} << "exclude each other";
}

void CliTest::usageError()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QVERIFY(writeFile(path("X.bin"), buildFirmwareImage(QByteArray())));
    QUdpSocket device;
    QVERIFY(device.bind(QHostAddress(QHostAddress::LocalHost), 0));
    for (QString &argument : arguments)
        argument.replace(QLatin1String("%1"), QString::number(device.localPort()));

    const Run run = runCli(arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QVERIFY(run.err.contains(QStringLiteral("Try 'bootloader-cli --help'.")));
    QVERIFY(run.out.isEmpty());
    QVERIFY(!device.hasPendingDatagrams());
}

void CliTest::helpDocumentsExitStatus()
{
    const Run run = runCli({"--help"});
    QCOMPARE(run.exitCode, 0);
    for (const char *line :
         {"postbuild INPUT", "upload IMAGE", "check --device", "start --device",
          "Exit status:", "  0  every device succeeded",
          "  1  a device answered with a failure verdict", "  2  usage error", "  3  link lost"})
        QVERIFY2(run.out.contains(QLatin1String(line)), line);
}

void CliTest::postbuild_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("output");
    QTest::newRow("empty input, default target.bin") << 0 << QStringList();
    QTest::newRow("part of a body, --output") << 300001 << QStringList{"--output", "out.bin"};
    QTest::newRow("a whole body, -o into a folder")
        << FirmwareBodySize << QStringList{"-o", "sub/img.bin"};
}

void CliTest::postbuild()
{
    QFETCH(int, size);
    QFETCH(QStringList, output);
    const QByteArray raw = patternBytes(size, 7);
    QVERIFY(writeFile(path("app.bin"), raw));
    QVERIFY(QDir(m_dir->path()).mkdir("sub"));
    const QString written = path(output.isEmpty() ? QStringLiteral("target.bin") : output.last());

    const Run first = runCli(QStringList{"postbuild", "app.bin"} + output);
    QVERIFY2(first.exitCode == 0, qPrintable(first.err));
    QVERIFY(first.out.startsWith(QStringLiteral("Postbuild is completed successful")));
    const QByteArray image = readFile(written);
    QVERIFY(image == buildFirmwareImage(raw));

    const Run second = runCli(QStringList{"postbuild", "app.bin", "--quiet"} + output);
    QCOMPARE(second.exitCode, 0);
    QVERIFY(second.out.isEmpty());
    QVERIFY(readFile(written) == image);
}

void CliTest::postbuildRefused_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("output");
    QTest::addColumn<QString>("message");
    QTest::newRow("one byte too big")
        << "app.bin" << FirmwareBodySize + 1 << QStringList() << FirmwareMessages::TooBig;
    QTest::newRow("suffix in capitals")
        << "app.BIN" << 10 << QStringList() << FirmwareMessages::SelectFile;
    QTest::newRow("missing input")
        << "absent.bin" << -1 << QStringList() << FirmwareMessages::NotFound;
    QTest::newRow("input is a folder")
        << "folder.bin" << -1 << QStringList() << "\"folder.bin\": could not be read";
    QTest::newRow("target.bin is a folder")
        << "app.bin" << 10 << QStringList() << FirmwareMessages::NotWritten;
    QTest::newRow("output folder missing") << "app.bin" << 10 << QStringList{"-o", "none/out.bin"}
                                           << "\"none/out.bin\": could not be written";
    QTest::newRow("target.bin as its own input")
        << "target.bin" << -1 << QStringList() << FirmwareMessages::TooBig;
}

void CliTest::postbuildRefused()
{
    QFETCH(QString, input);
    QFETCH(int, size);
    QFETCH(QStringList, output);
    QFETCH(QString, message);
    const QByteArray earlier = buildFirmwareImage("earlier");
    if (QTest::currentDataTag() == QByteArray("target.bin is a folder"))
        QVERIFY(QDir(m_dir->path()).mkdir("target.bin"));
    else
        QVERIFY(writeFile(path("target.bin"), earlier));
    if (input == QLatin1String("folder.bin"))
        QVERIFY(QDir(m_dir->path()).mkdir(input));
    if (size >= 0)
        QVERIFY(writeFile(path(input), patternBytes(size, 1)));

    const Run run = runCli(QStringList{"postbuild", input} + output);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    if (QFileInfo(path("target.bin")).isFile())
        QVERIFY(readFile(path("target.bin")) == earlier); // a refusal leaves it as it was
}

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
