#include "core/firmwarefile.h"
#include "core/firmwareimage.h"
#include "support/simprocess.h"
#include "support/testfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/ioctl.h>
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
    const QString m_sha256 = QCryptographicHash::hash(m_image, QCryptographicHash::Sha256).toHex();
    std::vector<std::unique_ptr<SimProcess>> m_sims;
    int m_exitCode = -1;
    QString m_out, m_err;

    // A leading "<file" feeds stdin, "|" gives a stdout nobody reads, "!n" sends signal n once
    // the link is up ("!-n": with SIGINT ignored from the start), "ulimit" limits files to
    // 8 KiB ("nobody": as the user nobody too, when root), "full" gives /dev/full as stdout;
    // ">" makes stdout a one-page FIFO read only once every simulator saved its upload, ">n"
    // sends signal n once that FIFO is full and never reads it.
    void runCli(QStringList arguments)
    {
        QProcess cli; // killed as it goes out of scope, should it hang
        cli.setReadChannel(QProcess::StandardError);
        const QString how = arguments.value(0);
        if (how.startsWith('<'))
            cli.setStandardInputFile(how.mid(1));
        if (how == "full")
            cli.setStandardOutputFile("/dev/full");
        const int signal = QString("!>").contains(how.left(1)) ? qAbs(how.mid(1).toInt()) : 0;
        int fifo = -1, queued = 0;
        if (how.startsWith('>') && (QFile::remove("out.fifo"), ::mkfifo("out.fifo", 0600) == 0)) {
            fifo = ::open("out.fifo", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            ::fcntl(fifo, F_SETPIPE_SZ, 4096);
            cli.setStandardOutputFile("out.fifo");
        }
        QStringList program{BOOTLOADER_CLI_PATH};
        if (how == "|") // a pipe whose reader has gone; pipefail keeps the CLI's own status
            program = QStringList{"bash", "-c", "set -o pipefail; \"$0\" \"$@\" | true"} + program;
        if (how.startsWith("!-"))
            program = QStringList{"bash", "-c", "trap '' INT; exec \"$0\" \"$@\""} + program;
        if (how == "ulimit" || how == "nobody")
            program = QStringList{"bash", "-c", "ulimit -f 8; exec \"$0\" \"$@\""} + program;
        if (how == "nobody" && ::geteuid() == 0) // else a read-only folder does not stop root
            program = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"} +
                      program;
        const bool word = QStringList{"ulimit", "full", "nobody"}.contains(how);
        cli.start(program[0],
                  program.mid(1) + arguments.mid(word || QString("<|!>").contains(how.left(1))));
        for (m_err.clear();
             how.startsWith('!') && !m_err.contains("keep-alive") && cli.waitForReadyRead(5000);)
            m_err += cli.readAllStandardError();
        const bool paused = QTest::qWaitFor(
            [&] { // while the CLI has to keep what it reports
                bool saved = true;
                for (size_t i = 0; i < m_sims.size(); ++i)
                    saved = saved && QFile::exists(QString::number(i) + ".bin");
                return fifo < 0 ||
                       (signal ? ::ioctl(fifo, FIONREAD, &queued) == 0 && queued > 3800 : saved);
            },
            15000);
        if (signal && paused && cli.processId() > 0)
            ::kill(pid_t(cli.processId()), signal);
        QByteArray report;
        const auto read = [&] {
            char buffer[4096];
            for (ssize_t got = 0; fifo >= 0 && (got = ::read(fifo, buffer, sizeof buffer)) > 0;)
                report.append(buffer, int(got));
        };
        const bool exited = QTest::qWaitFor( // and meanwhile the peer answers
            [&] {
                if (!signal)
                    read();
                return cli.state() == QProcess::NotRunning;
            },
            20000);
        read();
        m_exitCode =
            paused && exited && cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
        m_out = fifo < 0 ? cli.readAllStandardOutput() : report;
        m_err += cli.readAllStandardError();
        ::close(fifo);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir::setCurrent(m_dir.path()));
        // An earlier run's log, 20 bytes short of the 8 KiB a "ulimit" row may write.
        QVERIFY(writeTestFile("full.log", QByteArray(8 * 1024 - 20, '#')));
        for (const char *name : {"X.bin", "X.BIN", "target.bin"})
            QVERIFY(writeTestFile(name, m_image));
        QVERIFY(writeTestFile("flipped.bin", m_flipped));
        QVERIFY(writeTestFile("short.bin", m_image.chopped(1)));
        QVERIFY(writeTestFile("big.bin", QByteArray(FirmwareBodySize + 1, 'x')));
        QVERIFY(writeTestFile("raw.bin", "raw"));
        QVERIFY(QFile::link("/proc/self/mem", "mem.bin"));
        QVERIFY(QDir().mkdir("sub"));
        QVERIFY(QDir().mkdir("ro") && writeTestFile("ro/target.bin", m_image)); // the folder
        QVERIFY(QFile::setPermissions("ro", QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther |
                                                QFile::ExeOther)); // read-only, the file not
        QVERIFY(QFile::setPermissions("ro/target.bin", QFile::ReadOther | QFile::WriteOther) &&
                QFile::setPermissions(".", QFile::ExeOwner | QFile::ReadOwner | QFile::WriteOwner |
                                               QFile::ExeOther));
        QCOMPARE(::mkfifo("fifo.bin", 0600), 0);
    }
    void cleanup() { m_sims.clear(); }
    void cleanupTestCase() // a user who is not root can remove it then
    {
        QFile::setPermissions("ro", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

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
        const QString retries = "upload X.bin --json --retries 3 --retry-after 5";
        row("--json to a FIFO read after the upload", {"--drop-every 30", "--drop-every 30"},
            "> " + retries, 0, "ok,ok");
        row("SIGTERM while stdout is not read", {"--drop-every 30"}, ">15 " + retries, 143, "",
            "bytes were still waiting for a reader");
        row("--log-file past a file size limit", {""}, "ulimit upload X.bin --log-file log.txt", 4,
            "ok", "the log could not be written: File too large");
        row("start, a list from stdin", {"", ""}, "<list.txt start --devices-from -", 0, "ok,ok",
            "<- notice StartApplication seq=2 ");
        row("stdout closed: uploaded, exit 4", {""}, "| upload X.bin", 4, "",
            "report could not be written to stdout: Broken pipe");
        row("stdout full, End refused: the refusal wins, 1", {"--fail End"},
            "full upload X.bin --json", 1, "", "report could not be written to stdout: No space");
        row("stdout full, no answer: 3", {"--drop-every 1"}, "full upload X.bin --timeout 0.2", 3,
            "", "report could not be written to stdout: No space");
        row("SIGINT", {slow}, "!2 " + check, 130, "interrupted", "<- notice End seq=3 len=6");
        row("SIGTERM", {slow}, "!15 " + check, 143, "interrupted", "<- notice End seq=3 len=6");
        row("SIGINT ignored from the start", {slow}, "!-2 " + check, 1, "failed");
        row("pinned to its own image", {""}, "upload X.bin --json --expect-sha256 " + m_sha256, 0,
            "ok");
    }
    void devices()
    {
        QFETCH(QStringList, sims);
        QFETCH(QString, arguments);
        QFETCH(QString, saw);
        QStringList labels, deviceArguments;
        QByteArray list = "# the bench\n";
        for (int i = 0; i < sims.size(); ++i) {
            QFile::remove(QString("%1.bin").arg(i));
            m_sims.push_back(std::make_unique<SimProcess>(
                BOOTLOADER_SIM_PATH,
                QString("-v --save %1.bin %2").arg(i).arg(sims[i]).split(' ', Qt::SkipEmptyParts),
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
                     QString("bytes_sent,detail,device,event,exit_status,image_sha256,interface,"
                             "late_replies,operation,result,retries,round_trips,schema,seconds,"
                             "steps"));
            QCOMPARE(o["image_sha256"].toString(), m_sha256);
            const QJsonObject trips = o["round_trips"].toObject();
            QCOMPARE(o["steps"], QJsonValue(QJsonArray{"upload"}));
            QCOMPARE(trips.keys().join(','), QString("count,max_us,median_us,min_us"));
            QCOMPARE(trips["count"].toInt(), 1794);
            QCOMPARE(o["exit_status"].toInt(), 0);
            QCOMPARE(o["retries"].toInt() > 0, arguments.contains("--retries"));
            QVERIFY(o["bytes_sent"].toInt() > 1792 * 520);
        }
        QTEST(results, "results");
        for (const QString &label : labels) // a report cut short by a signal lacks the rest
            if (m_exitCode < 128 && !arguments.startsWith("full"))
                QCOMPARE(progress.value(label), json ? " 10 20 30 40 50 60 70 80 90 100" : "");
        if (!saw.isEmpty())
            QTRY_VERIFY2(QString(m_err + readTestFile("0.log")).contains(saw), qPrintable(m_err));
    }

    void files_data()
    {
        QTest::addColumn<QStringList>("arguments"); // %1: the port of a peer that must hear nothing
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("err"); // found in stderr
        QTest::addColumn<QString>("out"); // the whole of stdout
        const auto row = [](const char *tag, const QString &args, int exitCode, const QString &err,
                            const QString &out = "") {
            QTest::newRow(tag) << args.split(' ', Qt::SkipEmptyParts) << exitCode << err << out;
        };
        const QString d = " -d 127.0.0.1:%1", checksums = "stored checksum 0xF92F2EDD, computed ";
        const auto said = [](const QString &text) { // the whole of stderr
            return "\\Abootloader-cli: " + QRegularExpression::escape(text) + "\n\\z";
        };
        const QString unreadable = "\"mem.bin\": could not be read: Input/output error";
        row("suffix in capitals", "upload X.BIN" + d, 2,
            said("\"X.BIN\": the name must end in \".bin\" (lower case)"));
        row("image one byte short", "upload short.bin" + d, 2,
            said("\"short.bin\": 917503 bytes (an image is 917504): wrong size"));
        row("raw build output", "upload raw.bin" + d, 2,
            said("\"raw.bin\": 3 bytes (an image is 917504): wrong size; run `bootloader-cli "
                 "postbuild` first"));
        row("a missing file", "upload nothere.bin" + d, 2, said("\"nothere.bin\": no such file"));
        row("a FIFO is not opened", "upload fifo.bin" + d, 2,
            said("\"fifo.bin\": not a regular file"));
        row("a read error", "upload mem.bin" + d, 2, said(unreadable));
        row("checksum mismatch: refused before Start", "upload flipped.bin" + d, 2,
            checksums + "0xFB74CE8F:");
        const QString pin = " --expect-sha256 " + QString(64, 'A'), other = QString(64, 'a');
        row("pinned: another image refused before Start", "upload X.bin" + pin + d, 2,
            said("\"X.bin\": SHA-256 " + m_sha256 + ", but " + other +
                 " is pinned: not the image this line must carry; nothing was sent"));
        row("pinned check: another image refused", "check X.bin" + pin + d, 2,
            "SHA-256 " + m_sha256 + ", but " + other + " is pinned");
        row("pinned check without the image", "check" + pin + d, 2,
            "check --expect-sha256 wants the image meant to be on the devices named");
        row("a pin that is not a SHA-256", "upload X.bin --expect-sha256 abc" + d, 2,
            "--expect-sha256 wants 64 hexadecimal digits \\(a SHA-256\\), not \"abc\"");
        row("inspect a valid image", "inspect X.bin", 0, "",
            "X.bin: 917504 bytes, SHA-256 " + m_sha256 + ", " + checksums +
                "0xF92F2EDD, 322500 bytes of 0xFF fill at the end of the body: valid\n");
        row("inspect: wrong size, checksum mismatch", "inspect short.bin flipped.bin", 1, "",
            "short.bin: 917503 bytes \\(an image is 917504\\): wrong size\nflipped.bin: .*" +
                checksums + "0xFB74CE8F, .*: checksum mismatch\n");
        row("inspect a missing file, a FIFO, a read error",
            "inspect nothere.bin fifo.bin mem.bin X.bin", 2,
            said("\"nothere.bin\": no such file\nbootloader-cli: \"fifo.bin\": not a regular "
                 "file\nbootloader-cli: " +
                 unreadable),
            "X.bin: .*: valid\n");
        row("post-build of a read error: nothing written", "postbuild mem.bin", 2,
            said(unreadable));
        row("post-build input one byte too big", "postbuild big.bin", 2,
            said("\"big.bin\": 917501 bytes (a raw build output is at most 917500): too big"));
        row("post-build into x.txt", "postbuild raw.bin -o x.txt", 2,
            said("\"x.txt\": the name must end in \".bin\" (lower case)"));
        row("post-build into a FIFO", "postbuild raw.bin -o fifo.bin", 2,
            said("\"fifo.bin\": could not be written: not a regular file"));
        row("post-build into a missing folder", "postbuild raw.bin -o no/x.bin", 2,
            said("\"no/x.bin\": could not be written: no folder \"no\""));
        row("post-build into a read-only folder, file size limit: refused, the file kept",
            "nobody postbuild raw.bin -o ro/target.bin", 2,
            said("\"ro/target.bin\": could not be written: the folder \"ro\" is not writable "
                 "(Permission denied), and the output is only ever replaced whole"));
        row("post-build", "postbuild raw.bin -o sub/new.bin", 0, "",
            "Postbuild is completed successful: sub/new.bin\n");
        row("--log-file a FIFO", "inspect X.bin --log-file fifo.bin", 2,
            QRegularExpression::escape("--log-file \"fifo.bin\": not a regular file\n"));
        row("--log-file /dev/full", "inspect X.bin --log-file /dev/full", 2,
            QRegularExpression::escape("--log-file \"/dev/full\": not a regular file\n"));
        // The refused file's 2 wins over the lost log's 4; the cut is still said.
        row("--log-file appended to, its line cut by a file size limit",
            "ulimit upload flipped.bin --log-file full.log" + d, 2,
            "--log-file: the log could not be written: File too large\n");
        row("--help: nothing else done", "--help upload X.bin" + d, 0, "", "Usage: [\\s\\S]*");
    }
    void files()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, err);
        QFETCH(QString, out);
        QUdpSocket peer; // a row's own: what a failed row sent is not heard by the next
        QVERIFY(peer.bind(QHostAddress(QHostAddress::LocalHost), 0));
        QProcess writer; // a wrong open of the FIFO gets a writer that lets go at once: no hang
        writer.start("sh", {"-c", "exec 3>\"$0\"", "fifo.bin"});
        runCli(arguments.replaceInStrings("%1", QString::number(peer.localPort())));
        writer.kill();
        writer.waitForFinished();
        QTEST(m_exitCode, "exitCode");
        QVERIFY2(m_out.contains(QRegularExpression("\\A(?:" + out + ")\\z")), qPrintable(m_out));
        QVERIFY2(m_err.contains(QRegularExpression(err)), qPrintable(m_err));
        QVERIFY(!peer.hasPendingDatagrams()); // nothing sent, nothing written over
        QVERIFY(!QFileInfo("fifo.bin").isFile());
        QVERIFY(readTestFile("target.bin") == m_image && readTestFile("ro/target.bin") == m_image);
        if (m_exitCode == 0 && arguments[0] == "postbuild")
            QVERIFY(readTestFile(arguments.last()) == buildFirmwareImage("raw"));
    }
};

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
