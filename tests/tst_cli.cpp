#include "core/firmwarefile.h"
#include "core/firmwareimage.h"
#include "support/simprocess.h"
#include "support/testfiles.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>
#include <memory>
#include <vector>

namespace {

struct Run
{
    int exitCode = -1;
    QString out, err;
};

QByteArray patternBytes(int size, int seed)
{
    QByteArray bytes(size, 0);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 31 + i / 509 + seed);
    return bytes;
}

} // namespace

using SimOptions = QVector<QStringList>;
Q_DECLARE_METATYPE(SimOptions)

// The command-line tool as a build script runs it: a separate process against real simulators
// on loopback, judged by exit status, its output and the bytes that reach the devices.
class CliTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::vector<std::unique_ptr<SimProcess>> m_sims;

    QString path(const QString &name) const { return m_dir->filePath(name); }
    // The new simulator's --device text, its stderr in sim<index>.log.
    QString startSim(const QStringList &options)
    {
        const QString log = path(QStringLiteral("sim%1.log").arg(m_sims.size()));
        m_sims.push_back(
            std::make_unique<SimProcess>(QStringLiteral(BOOTLOADER_SIM_PATH), options, log));
        return m_sims.back()->port() ? m_sims.back()->device() : QString();
    }
    Run runCli(const QStringList &arguments)
    {
        QProcess cli; // killed as it goes out of scope, should it hang
        cli.setWorkingDirectory(m_dir->path());
        cli.start(QStringLiteral(BOOTLOADER_CLI_PATH), arguments);
        const bool exited = cli.waitForFinished(20000) && cli.exitStatus() == QProcess::NormalExit;
        return {exited ? cli.exitCode() : -1, cli.readAllStandardOutput(),
                cli.readAllStandardError()};
    }

private slots:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }
    void cleanup() { m_sims.clear(); } // before init() drops the folder with their logs

    void uploadsImage_data()
    {
        QTest::addColumn<int>("devices");
        QTest::newRow("one device") << 1;
        QTest::newRow("three devices at once") << 3;
    }
    void uploadsImage()
    {
        QFETCH(int, devices);
        const QByteArray image = buildFirmwareImage(patternBytes(600000, devices));
        QVERIFY(writeTestFile(path("X.bin"), image));
        QStringList upload{"upload", "X.bin"}, check{"check"}, names;
        for (int i = 0; i < devices; ++i) {
            names << startSim({"--save", path(QStringLiteral("saved%1.bin").arg(i))});
            QVERIFY(!names.last().isEmpty());
            upload << "--device" << names.last();
            check << "-d" << names.last();
        }
        const Run run = runCli(upload);
        QVERIFY2(run.exitCode == 0, qPrintable(run.err + run.out));
        const QStringList summary = run.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(summary.size(), devices);
        for (int i = 0; i < devices; ++i) {
            QVERIFY(readTestFile(path(QStringLiteral("saved%1.bin").arg(i))) == image);
            const QRegularExpression line(
                '^' + QRegularExpression::escape(names[i]) +
                " +ok +[0-9.]+ s +Uploading has been completed successful!$");
            QVERIFY2(line.match(summary[i]).hasMatch(), qPrintable(summary[i]));
        }
        const Run checked = runCli(check);
        QCOMPARE(checked.exitCode, 0);
        QCOMPARE(checked.out.count(QStringLiteral("Checked successful!")), devices);
    }

    void deviceOutcome_data()
    {
        QTest::addColumn<SimOptions>("sims");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("results");
        QTest::addColumn<QString>("firstSimSaw");
        const QStringList upload{"upload", "X.bin"};
        const QStringList quickUpload = upload + QStringList{"--timeout", "0.5"};
        QTest::newRow("End refused")
            << SimOptions{{"--fail", "End"}} << upload << 1 << QStringList{"failed"} << QString();
        QTest::newRow("start is a notice, sent once the link is up")
            << SimOptions{{"--verbose"}} << QStringList{"start"} << 0 << QStringList{"ok"}
            << "<- notice StartApplication seq=2 len=19";
        QTest::newRow("wrong sequence ends with an End notice")
            << SimOptions{{"--wrong-seq-every", "30", "--verbose"}} << upload << 3
            << QStringList{"sequence mismatch"} << "<- notice End seq=31 len=6";
        QTest::newRow("pings unanswered mid-upload")
            << SimOptions{{"--silent-after-ms", "300", "--delay-ms", "1"}} << quickUpload << 3
            << QStringList{"timed out"} << QString();
        QTest::newRow("a lost device outranks a refusal")
            << SimOptions{{"--fail", "End"}, {"--drop-every", "100"}, {}} << quickUpload << 3
            << QStringList{"failed", "timed out", "ok"} << QString();
    }
    void deviceOutcome()
    {
        QFETCH(SimOptions, sims);
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, results);
        QFETCH(QString, firstSimSaw);
        QVERIFY(writeTestFile(path("X.bin"), buildFirmwareImage("firmware")));
        for (const QStringList &options : sims)
            arguments << "--device" << startSim(options);
        const Run run = runCli(arguments);
        QTEST(run.exitCode, "exitCode");
        static const QRegularExpression summaryLine(QStringLiteral("^\\S+ +(.+?) +[0-9.]+ s  "));
        QStringList seen;
        for (const QString &line : run.out.split('\n', Qt::SkipEmptyParts))
            seen << summaryLine.match(line).captured(1);
        QVERIFY2(seen == results, qPrintable(run.out + run.err));
        if (!firstSimSaw.isEmpty())
            QTRY_VERIFY2(readTestFile(path("sim0.log")).contains(firstSimSaw.toLatin1()),
                         readTestFile(path("sim0.log")).right(500).constData());
    }

    void verboseListsRoundTrips()
    {
        const Run run = runCli({"check", "--verbose", "--device", startSim({})});
        QCOMPARE(run.exitCode, 1);
        for (const char *line : {"Ping +seq +1 +keep-alive 0x73 +[0-9.]+ ms\n",
                                 "Check +seq +2 +FAILURE 0x03 +[0-9.]+ ms\n"})
            QVERIFY2(run.err.contains(QRegularExpression(line)), qPrintable(run.err));
    }

    void refusedBeforeSending_data()
    {
        QTest::addColumn<QStringList>("arguments"); // %1: a loopback port nothing answers on
        QTest::addColumn<QString>("message");
        const QString device = QStringLiteral("127.0.0.1:%1");
        QTest::newRow("no command") << QStringList{} << "no command given";
        QTest::newRow("unknown option")
            << QStringList{"check", "-d", device, "--speed", "9"} << "Unknown option 'speed'";
        QTest::newRow("device not an address")
            << QStringList{"check", "-d", "300.1.1.1:5"} << "not an IPv4 or IPv6 address";
        QTest::newRow("port 65536")
            << QStringList{"check", "-d", "[::1]:65536"} << "from 1 to 65535";
        QTest::newRow("suffix in capitals")
            << QStringList{"upload", "X.BIN", "-d", device} << FirmwareMessages::SelectFile;
        QTest::newRow("one byte short")
            << QStringList{"upload", "short.bin", "-d", device} << FirmwareMessages::WrongSize;
    }
    void refusedBeforeSending()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        const QByteArray image = buildFirmwareImage(QByteArray());
        QVERIFY(writeTestFile(path("X.BIN"), image) &&
                writeTestFile(path("short.bin"), image.chopped(1)));
        QUdpSocket device;
        QVERIFY(device.bind(QHostAddress(QHostAddress::LocalHost), 0));
        arguments.replaceInStrings(QStringLiteral("%1"), QString::number(device.localPort()));
        const Run run = runCli(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QVERIFY(run.out.isEmpty());
        QVERIFY(!device.hasPendingDatagrams());
    }

    void helpDocumentsExitStatus()
    {
        const Run run = runCli({"--help"});
        QCOMPARE(run.exitCode, 0);
        for (const char *line : {"postbuild INPUT", "upload IMAGE", "check --device",
                                 "start --device", "Exit status:", "  0  every device succeeded",
                                 "  1  a device answered with a failure verdict",
                                 "  2  usage error", "  3  link lost"})
            QVERIFY2(run.out.contains(QLatin1String(line)), line);
    }

    void postbuild_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QStringList>("output");
        QTest::newRow("empty input, default target.bin") << 0 << QStringList();
        QTest::newRow("a whole body, -o into a folder")
            << FirmwareBodySize << QStringList{"-o", "sub/img.bin"};
    }
    void postbuild()
    {
        QFETCH(int, size);
        QFETCH(QStringList, output);
        const QByteArray raw = patternBytes(size, 7);
        QVERIFY(writeTestFile(path("app.bin"), raw));
        QVERIFY(QDir(m_dir->path()).mkdir("sub"));
        const QString written = output.isEmpty() ? QStringLiteral("target.bin") : output.last();
        const Run first = runCli(QStringList{"postbuild", "app.bin"} + output);
        QVERIFY2(first.exitCode == 0, qPrintable(first.err));
        QVERIFY(first.out.startsWith(QStringLiteral("Postbuild is completed successful")));
        const QByteArray image = readTestFile(path(written));
        QVERIFY(image == buildFirmwareImage(raw));
        const Run second = runCli(QStringList{"postbuild", "app.bin", "--quiet"} + output);
        QCOMPARE(second.exitCode, 0);
        QVERIFY(second.out.isEmpty());
        QVERIFY(readTestFile(path(written)) == image);
    }

    void postbuildRefused_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("message");
        QTest::newRow("one byte too big") << "app.bin" << FirmwareMessages::TooBig;
        QTest::newRow("suffix in capitals") << "app.BIN" << FirmwareMessages::SelectFile;
        QTest::newRow("target.bin as its own input") << "target.bin" << FirmwareMessages::TooBig;
    }
    void postbuildRefused()
    {
        QFETCH(QString, input);
        QFETCH(QString, message);
        const QByteArray earlier = buildFirmwareImage("earlier");
        QVERIFY(writeTestFile(path("target.bin"), earlier));
        QVERIFY(writeTestFile(path("app.bin"), QByteArray(FirmwareBodySize + 1, 'x')) &&
                writeTestFile(path("app.BIN"), "small"));
        const Run run = runCli({"postbuild", input});
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QVERIFY(readTestFile(path("target.bin")) == earlier); // a refusal leaves it as it was
    }
};

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
