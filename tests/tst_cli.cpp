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

using SimOptions = QVector<QStringList>;

// The command-line tool as a build script runs it: a separate process against simulators on
// loopback, judged by exit status, its output and the bytes that reach the devices.
class CliTest : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<SimProcess>> m_sims;
    int m_exitCode = -1;
    QString m_out, m_err;

    QString path(const QString &name) const { return m_dir.filePath(name); }
    void runCli(const QStringList &arguments)
    {
        QProcess cli; // killed as it goes out of scope, should it hang
        cli.setWorkingDirectory(m_dir.path());
        cli.start(QStringLiteral(BOOTLOADER_CLI_PATH), arguments);
        const bool exited = cli.waitForFinished(20000) && cli.exitStatus() == QProcess::NormalExit;
        m_exitCode = exited ? cli.exitCode() : -1;
        m_out = cli.readAllStandardOutput();
        m_err = cli.readAllStandardError();
    }

private slots:
    void cleanup() { m_sims.clear(); }

    void devices_data()
    {
        QTest::addColumn<SimOptions>("sims");
        QTest::addColumn<QStringList>("arguments"); // then --device for each simulator
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("results");
        QTest::addColumn<QString>("firstSimSaw"); // in its verbose log
        const QStringList upload{"upload", "X.bin"}, quick = upload + QStringList{"-t", "0.5"};
        const auto row = [](const char *tag, const SimOptions &sims, const QStringList &arguments,
                            int exitCode, const QStringList &results, const char *simSaw = "") {
            QTest::newRow(tag) << sims << arguments << exitCode << results << QString(simSaw);
        };
        row("three devices at once", {{}, {}, {}}, upload, 0, {"ok", "ok", "ok"});
        row("End refused", {{"--fail", "End"}}, upload, 1, {"failed"});
        row("start is a notice, sent once the link is up", {{}}, {"start"}, 0, {"ok"},
            "<- notice StartApplication seq=2 ");
        row("wrong sequence ends with an End notice", {{"--wrong-seq-every", "30"}}, upload, 3,
            {"sequence mismatch"}, "<- notice End seq=31 ");
        row("a lost device outranks a refusal", {{"--fail", "End"}, {"--drop-every", "100"}, {}},
            quick, 3, {"failed", "timed out", "ok"});
    }
    void devices()
    {
        QFETCH(SimOptions, sims);
        QFETCH(QStringList, arguments);
        QFETCH(QString, firstSimSaw);
        // 17 bytes a period: each block starts at another phase, so a misplaced one shows.
        const QByteArray image =
            buildFirmwareImage(QByteArray("0123456789abcdef-").repeated(35000));
        QVERIFY(writeTestFile(path("X.bin"), image));
        QStringList devices;
        for (int i = 0; i < sims.size(); ++i) {
            const QString name = path(QString::number(i));
            m_sims.push_back(std::make_unique<SimProcess>(
                QStringLiteral(BOOTLOADER_SIM_PATH),
                sims[i] + QStringList{"--verbose", "--save", name + ".bin"}, name + ".log"));
            devices << "--device" << m_sims.back()->device();
        }
        runCli(arguments + devices);
        QTEST(m_exitCode, "exitCode");
        QStringList results; // device, result, seconds, detail
        for (const QString &line : m_out.split('\n', Qt::SkipEmptyParts))
            results << line.section(QRegularExpression(" {2,}"), 1, 1);
        QTEST(results, "results");
        if (!firstSimSaw.isEmpty())
            QTRY_VERIFY2(
                QString(readTestFile(path("0.log"))).contains(QRegularExpression(firstSimSaw)),
                readTestFile(path("0.log")).right(500).constData());
        if (m_exitCode != 0 || arguments[0] != "upload")
            return;
        QCOMPARE(m_err.count(QRegularExpression(" [ 1][0-9]0 %\n")), 10 * sims.size());
        for (int i = 0; i < sims.size(); ++i)
            QVERIFY(readTestFile(path(QString::number(i) + ".bin")) == image);
        runCli(QStringList{"check"} + devices);
        QCOMPARE(m_exitCode, 0);
        QCOMPARE(m_out.count("Checked successful!"), sims.size());
    }

    void refused_data()
    {
        QTest::addColumn<QStringList>("arguments"); // %1: a loopback port nothing answers on
        QTest::addColumn<QString>("message");
        const QString device = QStringLiteral("127.0.0.1:%1");
        QTest::newRow("no command") << QStringList{} << "no command given";
        QTest::newRow("device with leading zeros")
            << QStringList{"check", "-d", "127.000.000.001:%1"} << "not an IPv4 or IPv6 address";
        QTest::newRow("port 65536")
            << QStringList{"check", "-d", "[::1]:65536"} << "from 1 to 65535";
        QTest::newRow("suffix in capitals")
            << QStringList{"upload", "X.BIN", "-d", device} << FirmwareMessages::SelectFile;
        QTest::newRow("image one byte short")
            << QStringList{"upload", "short.bin", "-d", device} << FirmwareMessages::WrongSize;
        QTest::newRow("post-build input one byte too big")
            << QStringList{"postbuild", "big.bin"} << FirmwareMessages::TooBig;
    }
    void refused()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        const QByteArray image = buildFirmwareImage("earlier");
        QVERIFY(writeTestFile(path("X.BIN"), image) && writeTestFile(path("target.bin"), image) &&
                writeTestFile(path("short.bin"), image.chopped(1)) &&
                writeTestFile(path("big.bin"), QByteArray(FirmwareBodySize + 1, 'x')));
        QUdpSocket device;
        QVERIFY(device.bind(QHostAddress(QHostAddress::LocalHost), 0));
        runCli(arguments.replaceInStrings("%1", QString::number(device.localPort())));
        QCOMPARE(m_exitCode, 2);
        QVERIFY2(m_err.contains(message), qPrintable(m_err));
        QVERIFY(m_out.isEmpty() && !device.hasPendingDatagrams());
        QVERIFY(readTestFile(path("target.bin")) == image); // a refusal leaves it as it was
    }

    void postbuildWritesTheImage()
    {
        const QByteArray raw(1000, 'r');
        QVERIFY(writeTestFile(path("app.bin"), raw) && QDir(m_dir.path()).mkpath("sub"));
        runCli({"postbuild", "app.bin", "-o", "sub/app-image.bin"});
        QCOMPARE(m_exitCode, 0);
        QVERIFY(m_out.startsWith("Postbuild is completed successful"));
        QVERIFY(readTestFile(path("sub/app-image.bin")) == buildFirmwareImage(raw));
    }
};

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
