#include "core/firmwarefile.h"
#include "core/firmwareimage.h"
#include "support/simprocess.h"
#include "support/testfiles.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>
#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <vector>

// The command-line tool as a build or a production line runs it, against simulators on loopback:
// judged by exit status, its output and the bytes that reach the devices.
class CliTest : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    // 17 bytes a period: each block starts at another phase, so a misplaced one shows.
    const QByteArray m_image = buildFirmwareImage(QByteArray("0123456789abcdef-").repeated(35000));
    const QByteArray m_flipped = char(m_image[0] ^ 1) + m_image.mid(1); // stored checksum kept
    std::vector<std::unique_ptr<SimProcess>> m_sims;
    QUdpSocket m_peer, m_forger; // a device that is silent, echoes, or has its replies forged
    QString m_peerMode;
    int m_heard = 0, m_ends = 0; // datagrams the peer received, "End" notices among them
    int m_exitCode = -1;
    QString m_out, m_err;

    // A leading "<file" feeds stdin, "|" gives a stdout nobody reads, "!n" sends signal n at 10 %.
    void runCli(QStringList arguments)
    {
        QProcess cli; // killed as it goes out of scope, should it hang
        cli.setReadChannel(QProcess::StandardError);
        const QString how = arguments.value(0);
        if (how.startsWith('<'))
            cli.setStandardInputFile(how.mid(1));
        const int signal = how.startsWith('!') ? how.mid(1).toInt() : 0;
        QStringList program{BOOTLOADER_CLI_PATH};
        if (how == "|") // a pipe whose reader has gone; pipefail keeps the CLI's own status
            program = QStringList{"bash", "-c", "set -o pipefail; \"$0\" \"$@\" | true"} + program;
        cli.start(program[0], program.mid(1) + arguments.mid(QString("<|!").contains(how.left(1))));
        for (m_err.clear(); signal && !m_err.contains(" 10 %") && cli.waitForReadyRead(5000);)
            m_err += cli.readAllStandardError();
        if (signal && cli.processId() > 0)
            ::kill(pid_t(cli.processId()), signal);
        const bool exited = // and meanwhile the peer answers
            QTest::qWaitFor([&] { return cli.state() == QProcess::NotRunning; }, 20000);
        m_exitCode = exited && cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
        m_out = cli.readAllStandardOutput();
        m_err += cli.readAllStandardError();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir::setCurrent(m_dir.path()) &&
                m_peer.bind(QHostAddress(QHostAddress::LocalHost), 0));
        const QByteArray port = QByteArray::number(m_peer.localPort());
        QVERIFY(writeTestFile("X.bin", m_image) && writeTestFile("X.BIN", m_image) &&
                writeTestFile("target.bin", m_image) && writeTestFile("flipped.bin", m_flipped) &&
                writeTestFile("short.bin", m_image.chopped(1)) &&
                writeTestFile("big.bin", QByteArray(FirmwareBodySize + 1, 'x')) &&
                writeTestFile("raw.bin", "raw") && QDir().mkdir("sub") &&
                writeTestFile("twice.txt", "# bench\n\n[::ffff:127.0.0.1]:" + port) &&
                writeTestFile("bad.txt", "127.0.0.1:" + port + "\n\n127.0.0.01:1 # typo\n") &&
                ::mkfifo("fifo.bin", 0600) == 0);
        connect(&m_peer, &QUdpSocket::readyRead, this, [this] {
            const QNetworkDatagram got = m_peer.receiveDatagram();
            ++m_heard;
            m_ends += got.data().mid(2) == "\3End";
            if (m_peerMode == "echo")
                m_peer.writeDatagram(got.makeReply(got.data()));
            for (const char *forged : {"02010173", "020205AC"}) // Ping 1 alive, Check 2 passed
                if (m_peerMode == "forge")
                    m_forger.writeDatagram(got.makeReply(QByteArray::fromHex(forged)));
        });
    }
    void cleanup() { m_sims.clear(), m_peerMode.clear(), m_heard = m_ends = 0; }

    void devices_data()
    {
        // Each simulator's options; "none": nothing listens on its port; "echo", "forge": the peer.
        QTest::addColumn<QStringList>("sims");
        QTest::addColumn<QStringList>("arguments"); // %n: device n; without: each as --device
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("results");
        QTest::addColumn<QString>("saw"); // in the CLI's stderr or the first simulator's log
        const auto row = [](const char *tag, const QStringList &sims, const QString &arguments,
                            int exitCode, const char *results, const char *saw = "") {
            QTest::newRow(tag) << sims << arguments.split(' ') << exitCode
                               << QString(results).split(',', Qt::SkipEmptyParts) << QString(saw);
        };
        const QString upload = "upload X.bin", listed = " -d %1 --devices-from ";
        const QString retries = upload + " --retries 3 --retry-after 20", quick = upload + " -t .5";
        row("three devices, two from a list", {"", "", ""}, upload + listed + "list.txt", 0,
            "ok,ok,ok");
        row("--json", {"", ""}, upload + " --json", 0, "ok,ok");
        row("End refused", {"--fail End"}, upload, 1, "failed");
        row("erase outlasts a ping", {"--erase-ms 1200"}, upload, 0, "ok");
        row("checksum mismatch --force: sent", {""}, "upload flipped.bin --force", 1, "failed");
        row("start, a list from stdin: a notice once the link is up", {"", ""},
            "<list.txt start" + listed + "-", 0, "ok,ok", "<- notice StartApplication seq=2 ");
        row("wrong sequence: an End notice", {"--wrong-seq-every 30"}, upload, 3,
            "sequence mismatch", "<- notice End seq=31 ");
        row("a lost device outranks a refusal", {"--fail End", "--drop-every 100", ""}, quick, 3,
            "failed,timed out,ok");
        row("lost replies sent again, --json", {"--drop-every 50"}, retries + " --json", 0, "ok");
        row("lost replies, no retries", {"--drop-every 50"}, quick, 3, "timed out");
        row("duplicate replies, retries", {"--duplicate-every 7"}, retries, 0, "ok");
        row("duplicate replies", {"--duplicate-every 7"}, upload, 3, "sequence mismatch");
        row("nothing listens", {"none"}, upload, 3, "nothing listens");
        row("forged replies from another port", {"forge"}, "check -t 0.5", 3, "no answer");
        row("echo: at most one End notice a second", {"echo"}, "check -t 2.5", 3, "timed out");
        row("stdout closed: uploaded, exit 4", {""}, "| " + upload, 4, "",
            "report could not be written to stdout: Broken pipe");
        row("SIGINT", {"--delay-ms 1"}, "!2 " + upload, 130, "interrupted",
            "notice End seq=\\d+ len=6");
        row("SIGTERM", {"--delay-ms 1"}, "!15 " + upload, 143, "interrupted",
            "notice End seq=\\d+ len=6");
    }
    void devices()
    {
        QFETCH(QStringList, sims);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, saw);
        QStringList labels, deviceArguments;
        QByteArray list = "# the bench\n\n";
        for (int i = 0; i < sims.size(); ++i) {
            const QString name = QString::number(i);
            QFile::remove(name + ".bin");
            if (sims[i] == "echo" || sims[i] == "forge") {
                m_peerMode = sims[i];
                labels << QStringLiteral("127.0.0.1:%1").arg(m_peer.localPort());
            } else { // "none" is started, then stopped
                const QString options =
                    "-v --save " + name + ".bin " + QString(sims[i]).remove("none");
                m_sims.push_back(std::make_unique<SimProcess>(
                    BOOTLOADER_SIM_PATH, options.split(' ', Qt::SkipEmptyParts), name + ".log"));
                QVERIFY(m_sims.back()->port() && (sims[i] != "none" || m_sims.back()->stop()));
                labels << m_sims.back()->device();
            }
            deviceArguments << "--device" << labels.last();
            arguments.replaceInStrings('%' + QString::number(i + 1), labels.last());
            list += i ? "  " + labels.last().toUtf8() + "\t# left to right\n\n" : "";
        }
        QVERIFY(writeTestFile("list.txt", list));
        runCli(arguments.join(' ').contains(labels[0]) ? arguments : arguments + deviceArguments);
        QCOMPARE(m_exitCode, exitCode);

        const bool json = arguments.contains("--json");
        const QRegularExpression column(" {2,}"); // device, result, seconds, detail
        QStringList results;
        QHash<QString, QString> progress; // each device's percentages in order
        int starts = 0, retryEvents = 0, retriesReported = 0;
        for (const QString &line : m_out.split('\n', Qt::SkipEmptyParts)) {
            results << line.section(column, 1, 1);
            QVERIFY(results.last() != "nothing listens" ||
                    line.section(column, 2, 2).chopped(2).toDouble() < 0.5);
            if (!json)
                continue;
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
            const QString event = o.value("event").toString();
            QVERIFY(o["schema"] == 1 && labels.contains(o["device"].toString()));
            starts += event == "start";
            retryEvents += event == "retry";
            if (event == "progress")
                progress[o["device"].toString()] += ' ' + QString::number(o["percent"].toInt());
            if (event != "result")
                continue;
            results.last() = o.value("result").toString();
            retriesReported += o.value("retries").toInt();
            QCOMPARE(o.keys().join(','),
                     QString("bytes_sent,detail,device,event,exit_status,operation,"
                             "result,retries,round_trips,schema,seconds"));
            const QJsonObject trips = o.value("round_trips").toObject();
            QCOMPARE(trips.keys().join(','), QString("count,max_us,median_us,min_us"));
            QVERIFY(o.value("exit_status") == exitCode && trips.value("count") == 1794 &&
                    o.value("bytes_sent").toInt() > 1792 * 520 && o.value("seconds").isDouble() &&
                    trips.value("min_us").toInt() <= trips.value("median_us").toInt() &&
                    trips.value("median_us").toInt() <= trips.value("max_us").toInt());
        }
        results.removeAll(""); // JSON events other than "result"
        if (json)
            QVERIFY(starts == labels.size() && retryEvents == retriesReported &&
                    (retryEvents > 0) == arguments.contains("--retries"));
        QTEST(results, "results");
        QVERIFY(m_ends <= 3 && (m_ends > 0) == (m_peerMode == "echo"));
        if (!saw.isEmpty())
            QTRY_VERIFY(QString(m_err + readTestFile("0.log")).contains(QRegularExpression(saw)));
        const QByteArray sent = readTestFile(arguments.value(arguments.indexOf("upload") + 1));
        for (int i = 0; i < sims.size(); ++i) { // what a device saved at End is the file sent
            const QByteArray saved = readTestFile(QString::number(i) + ".bin");
            QVERIFY(saved == sent ||
                    (saved == "(missing)" && results.value(i) != "ok" && exitCode != 4));
        }
        if (exitCode != 0 || !arguments.contains("upload"))
            return;
        for (const QString &line : m_err.split('\n')) // "DEVICE  NN %"
            progress[line.section(' ', 0, 0)] += ' ' + line.section(' ', -2, -2);
        for (const QString &label : labels)
            QCOMPARE(progress.value(label), QString(" 10 20 30 40 50 60 70 80 90 100"));
        runCli(QStringList{"check"} + deviceArguments);
        QCOMPARE(m_exitCode, 0);
        QCOMPARE(m_out.count("Checked successful!"), sims.size());
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
        row("device with leading zeros", "check -d 127.000.000.001:%1", 2, "not an IPv4 or IPv6");
        row("port 65536", "check -d [::1]:65536", 2, "from 1 to 65535");
        row("port 0", "check -d 127.0.0.1:0", 2, "from 1 to 65535");
        row("port with a sign", "check -d 127.0.0.1:+%1", 2, "from 1 to 65535");
        row("0.0.0.0 as IPv4-mapped IPv6", "check -d [::ffff:0.0.0.0]:%1", 2,
            "not the address of one");
        row("a device listed again", "check --devices-from twice.txt" + d, 2,
            "twice.txt, line 3: \\S+ is named twice");
        row("a malformed line", "check --devices-from bad.txt", 2,
            "bad.txt, line 3: \"127.0.0.01\" is not");
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
        const QFileInfo fifo("fifo.bin"); // nothing sent, nothing written over
        QVERIFY(m_heard == 0 && !m_peer.hasPendingDatagrams() && fifo.exists() && !fifo.isFile());
        QVERIFY(readTestFile("target.bin") == m_image);
        if (m_exitCode == 0 && arguments[0] == "postbuild")
            QVERIFY(readTestFile(arguments.last()) == buildFirmwareImage("raw"));
    }
};

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
