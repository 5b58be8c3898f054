#include "core/firmwarefile.h"
#include "core/firmwareimage.h"
#include "support/simprocess.h"
#include "support/testfiles.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>
#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <vector>

// bootloader-cli as a process, for what only a process shows: exit statuses, stdout and stderr,
// stdin, signals and a closed stdout. Sessions, runs and option checks are tested in-process
// (tst_session), with what reaches the devices.
class CliTest : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    // 17 bytes a period: each block starts at another phase, so a misplaced one shows.
    const QByteArray m_image = buildFirmwareImage(QByteArray("0123456789abcdef-").repeated(35000));
    const QByteArray m_flipped = char(m_image[0] ^ 1) + m_image.mid(1); // stored checksum kept
    std::vector<std::unique_ptr<SimProcess>> m_sims;
    QUdpSocket m_peer; // a device that must hear nothing
    int m_exitCode = -1;
    QString m_out, m_err;

    // A leading "<file" feeds stdin, "|" gives a stdout nobody reads, "!n" sends signal n once
    // the link is up ("!-n": with SIGINT ignored from the start).
    void runCli(QStringList arguments)
    {
        QProcess cli; // killed as it goes out of scope, should it hang
        cli.setReadChannel(QProcess::StandardError);
        const QString how = arguments.value(0);
        if (how.startsWith('<'))
            cli.setStandardInputFile(how.mid(1));
        const int signal = how.startsWith('!') ? qAbs(how.mid(1).toInt()) : 0;
        QStringList program{BOOTLOADER_CLI_PATH};
        if (how == "|") // a pipe whose reader has gone; pipefail keeps the CLI's own status
            program = QStringList{"bash", "-c", "set -o pipefail; \"$0\" \"$@\" | true"} + program;
        if (how.startsWith("!-"))
            program = QStringList{"bash", "-c", "trap '' INT; exec \"$0\" \"$@\""} + program;
        cli.start(program[0], program.mid(1) + arguments.mid(QString("<|!").contains(how.left(1))));
        for (m_err.clear(); signal && !m_err.contains("keep-alive") && cli.waitForReadyRead(5000);)
            m_err += cli.readAllStandardError();
        if (signal && cli.processId() > 0)
            ::kill(pid_t(cli.processId()), signal);
        m_exitCode = cli.waitForFinished(5000) && cli.exitStatus() == QProcess::NormalExit
                         ? cli.exitCode()
                         : -1;
        m_out = cli.readAllStandardOutput();
        m_err += cli.readAllStandardError();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir::setCurrent(m_dir.path()));
        QVERIFY(m_peer.bind(QHostAddress(QHostAddress::LocalHost), 0));
        for (const char *name : {"X.bin", "X.BIN", "target.bin"})
            QVERIFY(writeTestFile(name, m_image));
        QVERIFY(writeTestFile("flipped.bin", m_flipped));
        QVERIFY(writeTestFile("short.bin", m_image.chopped(1)));
        QVERIFY(writeTestFile("big.bin", QByteArray(FirmwareBodySize + 1, 'x')));
        QVERIFY(writeTestFile("raw.bin", "raw"));
        QVERIFY(QDir().mkdir("sub"));
        QCOMPARE(::mkfifo("fifo.bin", 0600), 0);
    }
    void cleanup() { m_sims.clear(); }

    void devices_data()
    {
        // Each simulator's options.
        QTest::addColumn<QStringList>("sims");
        QTest::addColumn<QString>("arguments"); // then each simulator as --device, or in list.txt
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("results");
        QTest::addColumn<QString>("saw"); // in the CLI's stderr or the first simulator's log
        const auto row = [](const char *tag, const QStringList &sims, const QString &arguments,
                            int exitCode, const char *results, const char *saw = "") {
            QTest::newRow(tag) << sims << arguments << exitCode
                               << QString(results).split(',', Qt::SkipEmptyParts) << QString(saw);
        };
        const QString check = "check -v", slow = "--delay-ms 300";
        row("--json", {"", ""}, "upload X.bin --json", 0, "ok,ok");
        row("start, a list from stdin", {"", ""}, "<list.txt start --devices-from -", 0, "ok,ok",
            "<- notice StartApplication seq=2 ");
        row("stdout closed: uploaded, exit 4", {""}, "| upload X.bin", 4, "",
            "report could not be written to stdout: Broken pipe");
        row("SIGINT", {slow}, "!2 " + check, 130, "interrupted", "<- notice End seq=3 len=6");
        row("SIGTERM", {slow}, "!15 " + check, 143, "interrupted", "<- notice End seq=3 len=6");
        row("SIGINT ignored from the start", {slow}, "!-2 " + check, 1, "failed");
    }
    void devices()
    {
        QFETCH(QStringList, sims);
        QFETCH(QString, arguments);
        QFETCH(QString, saw);
        QStringList labels, deviceArguments;
        QByteArray list = "# the bench\n";
        for (int i = 0; i < sims.size(); ++i) {
            m_sims.push_back(std::make_unique<SimProcess>(
                BOOTLOADER_SIM_PATH, ("-v " + sims[i]).split(' ', Qt::SkipEmptyParts),
                QString("%1.log").arg(i)));
            QVERIFY(m_sims.back()->port());
            labels << m_sims.back()->device();
            deviceArguments << "--device" << labels.last();
            list += "  " + labels.last().toUtf8() + "\t# left to right\n";
        }
        QVERIFY(writeTestFile("list.txt", list));
        const QStringList words = arguments.split(' ');
        runCli(arguments.contains("list") ? words : words + deviceArguments);
        QTEST(m_exitCode, "exitCode");

        const bool json = arguments.contains("--json");
        QStringList results;
        QHash<QString, QString> progress; // each device's percentages in order
        for (const QString &line : m_out.split('\n', Qt::SkipEmptyParts)) {
            if (!json) { // device, result, seconds, detail
                results << line.section(QRegularExpression(" {2,}"), 1, 1);
                continue;
            }
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
            QVERIFY(labels.contains(o["device"].toString()));
            if (o["event"] == "progress")
                progress[o["device"].toString()] += ' ' + QString::number(o["percent"].toInt());
            if (o["event"] != "result")
                continue;
            results << o["result"].toString();
            QCOMPARE(o.keys().join(','),
                     QString("bytes_sent,detail,device,event,exit_status,operation,"
                             "result,retries,round_trips,schema,seconds"));
            const QJsonObject trips = o["round_trips"].toObject();
            QCOMPARE(trips.keys().join(','), QString("count,max_us,median_us,min_us"));
            QCOMPARE(trips["count"].toInt(), 1794);
            QCOMPARE(o["exit_status"].toInt(), 0);
            QCOMPARE(o["retries"].toInt(), 0);
            QVERIFY(o["bytes_sent"].toInt() > 1792 * 520);
        }
        QTEST(results, "results");
        for (const QString &label : labels)
            QCOMPARE(progress.value(label), json ? " 10 20 30 40 50 60 70 80 90 100" : "");
        if (!saw.isEmpty())
            QTRY_VERIFY2(QString(m_err + readTestFile("0.log")).contains(saw), qPrintable(m_err));
    }

    void files_data()
    {
        QTest::addColumn<QStringList>("arguments"); // %1: the silent peer's port
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("err"); // found in stderr
        QTest::addColumn<QString>("out"); // the whole of stdout
        const auto row = [](const char *tag, const QString &args, int exitCode, const QString &err,
                            const QString &out = "") {
            QTest::newRow(tag) << args.split(' ', Qt::SkipEmptyParts) << exitCode << err << out;
        };
        const QString d = " -d 127.0.0.1:%1", checksums = "stored checksum 0xF92F2EDD, computed ";
        row("suffix in capitals", "upload X.BIN" + d, 2, FirmwareMessages::SelectFile);
        row("image one byte short", "upload short.bin" + d, 2, FirmwareMessages::WrongSize);
        row("a FIFO is not opened", "upload fifo.bin" + d, 2, FirmwareMessages::NotFound);
        row("checksum mismatch: refused before Start", "upload flipped.bin" + d, 2,
            checksums + "0xFB74CE8F:");
        row("inspect a valid image", "inspect X.bin", 0, "",
            "X.bin: 917504 bytes, " + checksums +
                "0xF92F2EDD, 322500 bytes of 0xFF fill at the end of the body: valid\n");
        row("inspect: wrong size, checksum mismatch", "inspect short.bin flipped.bin", 1, "",
            "short.bin: 917503 bytes \\(an image is 917504\\): wrong size\nflipped.bin: .*" +
                checksums + "0xFB74CE8F, .*: checksum mismatch\n");
        row("inspect a FIFO: unreadable", "inspect fifo.bin X.bin", 2,
            "\"fifo.bin\": is not a regular file", "X.bin: .*: valid\n");
        row("post-build input one byte too big", "postbuild big.bin", 2, FirmwareMessages::TooBig);
        row("post-build into x.txt", "postbuild raw.bin -o x.txt", 2, "must be named \\*\\.bin");
        row("post-build into a FIFO", "postbuild raw.bin -o fifo.bin", 2,
            "could not be written: not a regular file");
        row("post-build into a missing folder", "postbuild raw.bin -o no/x.bin", 2,
            "could not be written: No such file or directory");
        row("post-build", "postbuild raw.bin -o sub/new.bin", 0, "",
            "Postbuild is completed successful: sub/new.bin\n");
        row("--help: nothing else done", "--help upload X.bin" + d, 0, "", "Usage: [\\s\\S]*");
    }
    void files()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, err);
        QFETCH(QString, out);
        QProcess writer; // a wrong open of the FIFO gets a writer that lets go at once: no hang
        writer.start("sh", {"-c", "exec 3>\"$0\"", "fifo.bin"});
        runCli(arguments.replaceInStrings("%1", QString::number(m_peer.localPort())));
        writer.kill();
        writer.waitForFinished();
        QTEST(m_exitCode, "exitCode");
        QVERIFY2(m_out.contains(QRegularExpression("\\A(?:" + out + ")\\z")), qPrintable(m_out));
        QVERIFY2(m_err.contains(QRegularExpression(err)), qPrintable(m_err));
        QVERIFY(!m_peer.hasPendingDatagrams()); // nothing sent, nothing written over
        QVERIFY(!QFileInfo("fifo.bin").isFile());
        QVERIFY(readTestFile("target.bin") == m_image);
        if (m_exitCode == 0 && arguments[0] == "postbuild")
            QVERIFY(readTestFile(arguments.last()) == buildFirmwareImage("raw"));
    }
};

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
