#include "cli/commandlineoptions.h"
#include "core/datagram.h"
#include "core/firmwareimage.h"
#include "posix/output.h"
#include "session/slotlock.h"
#include "sim/devicesimulator.h"
#include "sim/simulatoroptions.h"
#include "station/journal.h"
#include "station/journaltail.h"
#include "station/slotline.h"
#include "station/station.h"
#include "station/stationdisplay.h"
#include "station/stationrunner.h"
#include "support/simprocess.h"
#include "support/testfiles.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>
#include <cerrno>
#include <csignal>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {
// What the simulators logged: StartApplication notices heard, those heard while the board was
// away (a second start for one board), End notices that abandoned an upload, and erases (Start).
int starts = 0, startsAway = 0, abandoned = 0, erases = 0;
QtMessageHandler previousHandler = nullptr;

void countSimulatorLog(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (qstrcmp(context.category, "bootloader.link") != 0)
        return previousHandler(type, context, text);
    starts += text.startsWith("<- notice StartApplication");
    startsAway += text.startsWith("<- StartApplication ignored");
    abandoned += text.contains("(upload abandoned)");
    erases += text.startsWith("<- request Start ");
}

// A journal on a disk that is full: no room to reserve, or one that takes `cut` more bytes.
class FullJournal : public Journal
{
public:
    bool full = false;
    int cut = -1;

protected:
    ssize_t writeSome(int fd, const char *data, size_t size) override
    {
        if (cut < 0)
            return Journal::writeSome(fd, data, size);
        errno = ENOSPC;
        const size_t room = size_t(std::exchange(cut, 0));
        return room ? Journal::writeSome(fd, data, qMin(size, room)) : -1;
    }
    int allocate(int fd, off_t offset, off_t length) override
    {
        errno = ENOSPC;
        return full ? -1 : Journal::allocate(fd, offset, length);
    }
};
} // namespace

// Stations on simulated fixtures in this process, with pings every 20 ms and boards gone after
// 100 ms of silence; a few rows run the program for signals, SIGKILL and its command line.
class StationTest : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    const QByteArray m_image = buildFirmwareImage(QByteArray("station-").repeated(9000));
    const QByteArray m_sha256 =
        QCryptographicHash::hash(m_image, QCryptographicHash::Sha256).toHex();
    std::vector<std::unique_ptr<DeviceSimulator>> m_sims;
    QVector<DeviceTarget> m_devices;

    // "swap=150 erase=300 fail=End": one simulator per text, its received bytes saved to N.bin.
    void startSimulators(const QStringList &options)
    {
        for (const QString &text : options) {
            SimulatorSettings settings;
            settings.port = 0;
            settings.quiet = true;
            settings.savePath = m_dir.filePath(QString::number(m_sims.size()) + ".bin");
            for (const QString &option : text.split(' ', Qt::SkipEmptyParts)) {
                const QString value = option.section('=', 1);
                if (option.startsWith("swap="))
                    settings.swapMs = value.toInt();
                else if (option.startsWith("erase="))
                    settings.eraseMs = value.toInt();
                else
                    settings.failCommands.insert(value.toLatin1());
            }
            m_sims.push_back(std::make_unique<DeviceSimulator>(settings));
            QString error;
            QVERIFY2(m_sims.back()->listen(&error), qPrintable(error));
            m_devices.append({QHostAddress(QHostAddress::LocalHost), m_sims.back()->port(), {}});
        }
    }
    StationSettings settings(int count)
    {
        StationSettings s;
        s.imagePath = m_dir.filePath("X.bin");
        s.image = m_image;
        s.devices = m_devices;
        s.session.replyTimeoutMs = 2000;
        s.pingIntervalMs = 20;
        s.goneAfterMs = 100;
        s.count = count;
        return s;
    }
    QStringList labels() const
    {
        QStringList labels;
        for (const DeviceTarget &device : m_devices)
            labels << device.label();
        return labels;
    }
    static int received(const DeviceSimulator &sim)
    {
        return sim.summary().section(' ', 0, 0).toInt();
    }
    bool openJournal(Journal &journal) // the one the records are read from
    {
        QString error;
        return journal.open(m_dir.filePath("j.jsonl"), &error);
    }
    QList<QJsonObject> records() // the journal's, a line that does not parse as {"partial": 1}
    {
        QList<QJsonObject> records;
        QFile file(m_dir.filePath("j.jsonl"));
        if (!file.open(QIODevice::ReadOnly)) // a missing journal holds no record
            return records;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QJsonDocument document = QJsonDocument::fromJson(line);
            if (!line.isEmpty())
                records << (document.isObject() ? document.object() : QJsonObject{{"partial", 1}});
        }
        return records;
    }
    // bootloader-cli ("ulimit-f0" first: with no room for any file), until `until` shows in
    // stderr, then the signals, a second one once the first is seen; its exit status.
    int runCli(QStringList arguments, const QString &until, const QList<int> &signals_)
    {
        QProcess cli;
        cli.setWorkingDirectory(m_dir.path());
        cli.setReadChannel(QProcess::StandardError);
        if (arguments[0] == "ulimit-f0")
            arguments = QStringList{"-c", "ulimit -f 0; exec \"$0\" \"$@\"", BOOTLOADER_CLI_PATH} +
                        arguments.mid(1);
        if (arguments[0] == "full-disk") // a full tmpfs at disk/, in a mount namespace of its own
            arguments =
                QStringList{"-c",
                            "mkdir -p disk && exec unshare -m sh -c 'mount -t tmpfs -o "
                            "size=64k none disk && head -c 1M /dev/zero >disk/fill 2>&-; exec "
                            "\"$0\" \"$@\"' \"$0\" \"$@\"",
                            BOOTLOADER_CLI_PATH} +
                arguments.mid(1);
        cli.start(arguments.contains("-c") ? "sh" : BOOTLOADER_CLI_PATH, arguments);
        m_err.clear();
        const auto seen = [&](const QString &text) {
            return QTest::qWaitFor(
                [&] {
                    m_err += cli.readAllStandardError();
                    return m_err.contains(text);
                },
                10000);
        };
        if (!until.isEmpty() && !seen(until))
            return -2;
        for (int i = 0; i < signals_.size(); ++i) // a second signal after the first is seen
            if (::kill(pid_t(cli.processId()), signals_[i]) != 0 ||
                (i == 0 && signals_.size() > 1 && !seen("stopping")))
                return -3;
        const bool ended =
            QTest::qWaitFor([&] { return cli.state() == QProcess::NotRunning; }, 20000);
        m_err += cli.readAllStandardError();
        m_out = cli.readAllStandardOutput();
        return ended && cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    }
    QString m_err;
    QByteArray m_out;

private slots:
    void initTestCase()
    {
        QVERIFY(writeTestFile(m_dir.filePath("X.bin"), m_image));
        QVERIFY(
            writeTestFile(m_dir.filePath("flipped.bin"), char(m_image[0] ^ 1) + m_image.mid(1)));
        QVERIFY(QDir(m_dir.path()).mkdir("sub"));
        QLoggingCategory::setFilterRules("bootloader.link.debug=true");
        previousHandler = qInstallMessageHandler(countSimulatorLog);
    }
    void cleanup()
    {
        m_sims.clear(), m_devices.clear(), starts = startsAway = abandoned = erases = 0;
        QFile::remove(m_dir.filePath("j.jsonl"));
    }

    void boards_data()
    {
        QTest::addColumn<QStringList>("sims"); // one slot each
        QTest::addColumn<int>("count");        // boards, then the station stops
        // "no-start", "gone=MS ping=MS", "no-metrics-folder"; the journal's: "full", "cut=N",
        // "deleted" once open, "unterminated"
        QTest::addColumn<QString>("options");
        QTest::addColumn<QStringList>("results"); // per slot, its boards in order
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("detail"); // of the first board that did not pass
        const auto row = [](const char *tag, const QStringList &sims, int count,
                            const char *options, const QStringList &results, int exitCode,
                            const char *detail = "") {
            QTest::newRow(tag) << sims << count << QString(options) << results << exitCode
                               << QString(detail);
        };
        const QString swap = "swap=150";
        row("three slots, two boards each", {swap, swap, swap}, 6, "", {"ok ok", "ok ok", "ok ok"},
            0);
        row("End refused: journalled, the other slot goes on", {"fail=End", swap}, 3, "",
            {"failed", "ok ok"}, 1, "Uploaded with error :( (End answered 0x04)");
        row("Check refused: journalled, not started", {"fail=Check", swap}, 3, "",
            {"failed", "ok ok"}, 1, "Application is wrong! (Check answered 0x04)");
        row("a board that keeps answering is flashed once", {"", swap}, 4, "", {"ok", "ok ok ok"},
            0);
        row("back within --gone-after: never gone", {"swap=30", "swap=400"}, 3, "gone=200",
            {"ok", "ok ok"}, 0);
        // Pings at 0 and 200 ms unanswered: gone at 400 ms, when the next board answers.
        row("gone after --gone-after, not a ping later", {"swap=300"}, 2, "gone=400 ping=200",
            {"ok ok"}, 0);
        row("--no-start: checked, never started", {swap, swap}, 2, "no-start", {"ok", "ok"}, 0);
        row("metrics folder missing: the boards go on", {swap}, 1, "no-metrics-folder", {"ok"}, 0);
        row("journal on a full disk: no board erased", {swap}, 1, "full", {""}, 4);
        row("a record cut short: cut off; the board's refusal wins", {"fail=End"}, 1, "cut=90",
            {""}, 1);
        row("journal deleted: a new one at its path", {swap}, 2, "deleted", {"ok ok"}, 0);
        row("journal without a last line break", {swap}, 1, "unterminated", {"ok"}, 0);
    }
    void boards()
    {
        QFETCH(QStringList, sims);
        QFETCH(QString, options);
        QFETCH(QStringList, results);
        QFETCH(QString, detail);
        startSimulators(sims);
        QFETCH(int, count);
        StationSettings s = settings(count);
        s.noStart = options == "no-start";
        if (options.startsWith("gone="))
            s.goneAfterMs = options.section(' ', 0, 0).mid(5).toInt();
        if (options.contains("ping="))
            s.pingIntervalMs = options.section("ping=", 1).toInt();
        s.name = "line-1";
        s.metricsPath = m_dir.filePath(options == "no-metrics-folder" ? "none/m.prom" : "m.prom");
        FullJournal journal;
        journal.full = options == "full";
        journal.cut = options.startsWith("cut=") ? options.mid(4).toInt() : -1;
        QVERIFY(options != "unterminated" || writeTestFile(m_dir.filePath("j.jsonl"), "{}"));
        QVERIFY(openJournal(journal));
        QVERIFY(options != "deleted" || QFile::remove(m_dir.filePath("j.jsonl")));
        StationDisplay display(StationDisplay::Mode::None, false, labels());
        Station station(s, journal, display);
        QSignalSpy finished(&station, &Station::finished);
        station.start();
        QVERIFY(finished.wait(30000));
        QTEST(station.exitStatus(), "exitCode");
        QCOMPARE(erases > 0, options != "full");
        QCOMPARE(readTestFile(m_dir.filePath("j.jsonl")).startsWith("{}\n"),
                 options == "unterminated");

        QVector<QString> perSlot(sims.size());
        QHash<QString, int> slotIndex;
        for (int i = 0; i < m_devices.size(); ++i)
            slotIndex[m_devices[i].label()] = i;
        QString firstDetail;
        int passed = 0;
        const QRegularExpression utcMs("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$");
        for (const QJsonObject &r : records()) {
            if (r.isEmpty()) // the line left without its break
                continue;
            QCOMPARE(r.keys().join(','),
                     QString("board,detail,event,host,image,image_checksum,image_sha256,interface,"
                             "late_replies,mac,result,retries,round_trips,run,schema,seconds,slot,"
                             "station,time"));
            QCOMPARE(r["schema"].toInt(), 1);
            QCOMPARE(r["station"].toString(), s.name);
            QCOMPARE(r["image_sha256"].toString(), QString(m_sha256));
            QCOMPARE(r["host"].toString(), QSysInfo::machineHostName());
            QCOMPARE(r["image"].toString(), s.imagePath);
            QCOMPARE(r["image_checksum"].toString(),
                     QString("0x" + m_image.right(4).toHex().toUpper()));
            QVERIFY(utcMs.match(r["time"].toString()).hasMatch());
            const int slot = slotIndex.value(r["slot"].toString(), -1);
            QVERIFY(slot >= 0);
            perSlot[slot] += (perSlot[slot].isEmpty() ? "" : " ") + r["result"].toString();
            QCOMPARE(r["board"].toInt(), perSlot[slot].count(' ') + 1);
            const bool ok = r["result"] == "ok";
            passed += ok;
            if (!ok && firstDetail.isEmpty())
                firstDetail = r["detail"].toString();
            const QJsonObject seconds = r["seconds"].toObject();
            QVERIFY(seconds["upload"].isDouble());
            QCOMPARE(seconds["start"].isDouble(), ok && !s.noStart);
            QCOMPARE(r["round_trips"].toObject()["count"].toInt(),
                     1794 + int(seconds["check"].isDouble()));
        }
        QCOMPARE(QStringList(perSlot.begin(), perSlot.end()), results);
        QCOMPARE(firstDetail, detail);
        const QString metrics = readTestFile(s.metricsPath); // each slot's boards and state
        for (int i = 0; i < m_devices.size() && options != "no-metrics-folder"; ++i) {
            const QString slot = "{station=\"line-1\",slot=\"" + m_devices[i].label();
            QVERIFY2(metrics.contains(slot + "\",result=\"ok\"} " +
                                      QString::number(results[i].count("ok"))),
                     qPrintable(metrics));
            QVERIFY(metrics.contains(slot + "\",state=\"stopped\"} 1"));
        }
        QTRY_COMPARE(starts, s.noStart ? 0 : passed); // exactly one start per board that passed
        QCOMPARE(startsAway, 0);
        for (size_t i = 0; i < m_sims.size() && erases; ++i) // each slot's last board: the file
            QVERIFY(readTestFile(m_dir.filePath(QString::number(i) + ".bin")) == m_image);
        if (QByteArray(QTest::currentDataTag()).startsWith("three")) {
            QUdpSocket probe; // the board swapped in after the last one: flash erased
            const QByteArray check = Datagram::command(CmdRequest, 7, CommandName::Check);
            QTRY_VERIFY((probe.writeDatagram(check, QHostAddress::LocalHost, m_sims[0]->port()),
                         probe.waitForReadyRead(20)));
            QCOMPARE(probe.receiveDatagram().data().toHex(), QByteArray("02070503"));
        }
    }

    void stopping_data()
    {
        QTest::addColumn<QString>("sim"); // empty: nothing listens at the slot
        QTest::addColumn<QList<int>>("signals_");
        QTest::addColumn<QString>("results"); // journalled
        QTest::addColumn<int>("exitCode");
        QTest::newRow("first: the board in progress finishes")
            << "erase=300" << QList<int>{SIGINT} << "ok" << 0;
        QTest::newRow("second: interrupted, End notice")
            << "erase=300" << QList<int>{SIGINT, SIGTERM} << "interrupted" << 143;
        QTest::newRow("first while waiting: over at once") << "" << QList<int>{SIGTERM} << "" << 0;
    }
    void stopping()
    {
        QFETCH(QString, sim);
        QFETCH(QList<int>, signals_);
        startSimulators({sim});
        if (sim.isEmpty())
            m_sims.clear(); // its port is closed now
        Journal journal;
        QVERIFY(openJournal(journal));
        StationDisplay display(StationDisplay::Mode::None, false, labels());
        Station station(settings(0), journal, display);
        QSignalSpy finished(&station, &Station::finished);
        station.start();
        if (!sim.isEmpty()) // Ping, Ping, Start: the board is being erased
            QTRY_VERIFY(received(*m_sims[0]) >= 3);
        int pipe[2] = {-1, -1}; // a stdout nobody reads: a second signal ends the wait for it
        QCOMPARE(::pipe(pipe), 0);
        Output::writeTo(pipe[1], STDERR_FILENO);
        Output::report(QByteArray(70000, '\n'));
        for (const int signal : signals_)
            station.signal(signal);
        QVERIFY(finished.count() || finished.wait(5000));
        QTEST(station.exitStatus(), "exitCode");
        QTimer stillWaiting; // nothing in progress: the station does not wait for the reader
        connect(&stillWaiting, &QTimer::timeout, [] { Output::stopWaiting(); });
        stillWaiting.setSingleShot(true);
        stillWaiting.start(3000);
        QCOMPARE(Output::reportWritten(), false);
        QVERIFY(stillWaiting.isActive());
        Output::writeTo(STDOUT_FILENO, STDERR_FILENO);
        ::close(pipe[0]);
        ::close(pipe[1]);
        QStringList results;
        for (const QJsonObject &r : records())
            results << r["result"].toString();
        QTEST(results.join(' '), "results");
        QTRY_COMPARE(abandoned, int(signals_.size() == 2));
    }

    void waiting() // nothing but "Ping", however long, whatever comes back
    {
        QUdpSocket peer; // a slot whose device answers every datagram with a failure verdict
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        QByteArrayList heard;
        connect(&peer, &QUdpSocket::readyRead, this, [&] {
            const QNetworkDatagram datagram = peer.receiveDatagram();
            heard << datagram.data();
            const QByteArray verdict = "\2" + datagram.data().mid(1, 1) + "\1\4"; // its sequence
            peer.writeDatagram(datagram.makeReply(verdict));
        });
        startSimulators({"swap=150"}); // the sentinel: two boards flashed meanwhile
        m_devices.append({QHostAddress(QHostAddress::LocalHost), peer.localPort(), {}});
        Journal journal;
        QVERIFY(openJournal(journal));
        StationDisplay display(StationDisplay::Mode::None, false, labels());
        Station station(settings(2), journal, display);
        QSignalSpy finished(&station, &Station::finished);
        station.start();
        QVERIFY(finished.wait(20000));
        QVERIFY(heard.size() > 10);
        for (const QByteArray &datagram : heard)
            QCOMPARE(datagram.mid(2), QByteArray("\4Ping"));
    }

    void totals() // the yield as the operator and a --json reader get it
    {
        const StationDisplay::Totals twoOfThree{2, 1, 3600000};
        QCOMPARE(twoOfThree.text(),
                 QString("passed 2, failed 1, total 3, yield 66.7 %, 3 boards/h"));
        QCOMPARE(twoOfThree.json()["yield_percent"].toDouble(), 200.0 / 3);
    }

    void restart() // numbers go on from the journal's last record of the station's slot
    {
        startSimulators({"swap=150", ""});
        const QByteArray a = m_devices[0].label().toUtf8(), b = m_devices[1].label().toUtf8();
        const QByteArray last = "{\"event\":\"board\",\"slot\":\"" + b + "\",\"board\":3}\n";
        QVERIFY(writeTestFile(m_dir.filePath("j.jsonl"),
                              "{\"event\":\"board\",\"slot\":\"" + a +
                                  "\",\"board\":7,\"station\":\"s\"}\n{\"event\":\"bo\n"
                                  "{\"event\":\"board\",\"slot\":\"" +
                                  a + "\",\"board\":40,\"station\":\"other\"}\n" + last));
        const QString path = m_dir.filePath("j.jsonl");
        QCOMPARE(lastBoardNumbers(path, "s"), (QHash<QString, int>{{a, 7}, {b, 3}}));
        QCOMPARE(lastBoardNumbers(path, "s", last.size() + 9), (QHash<QString, int>{{b, 3}}));
        QCOMPARE(lastBoardNumbers(m_dir.path(), "s"), (QHash<QString, int>{})); // a folder
        Journal journal;
        QVERIFY(openJournal(journal));
        StationDisplay display(StationDisplay::Mode::None, false, labels());
        StationSettings settings = this->settings(1);
        settings.devices.removeLast(); // the second slot's board never leaves
        settings.name = "s";
        settings.lastBoards = lastBoardNumbers(path, "s");
        Station station(settings, journal, display);
        QSignalSpy finished(&station, &Station::finished);
        station.start();
        QVERIFY(finished.wait(20000));
        QCOMPARE(records().constLast()["board"].toInt(), 8);
    }

    void slotLine_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("line");
        const QString fail = "board 11  FAIL: Application is wrong! (Check answered 0x04) (remove "
                             "board)";
        const auto row = [](const char *tag, const QString &state, int width, const char *line) {
            QTest::newRow(tag) << state << width << QString(line);
        };
        row("wide: all of it", fail, 200,
            "127.0.0.1:31122  board 11  FAIL: Application is wrong! (Check answered 0x04) (remove "
            "board)");
        row("80 columns: the detail cut, the instruction kept", fail, 79,
            "127.0.0.1:31122  board 11  FAIL: Application is wrong! (Check... (remove board)");
        row("too narrow for any detail", fail, 48,
            "127.0.0.1:31122  board 11  FAIL (remove board)");
        row("narrower: the address cut from the left", fail, 40,
            "...:31122  board 11  FAIL (remove board)");
        row("narrowest: the end of the line", fail, 20, "board 11  FAIL (remo");
        row("PASS waiting for removal", "board 2  PASS, waiting for removal", 50,
            "...0.0.1:31122  board 2  PASS, waiting for removal");
        row("a wait's reason cut", "waiting: no answer yet; given up after 12 s", 40,
            "127.0.0.1:31122  waiting: no answer y...");
    }
    void slotLine()
    {
        QFETCH(QString, state);
        QFETCH(int, width);
        const QString line = ::slotLine("127.0.0.1:31122", state, width);
        QTEST(line, "line");
        QVERIFY(line.size() <= width);
    }

    void swapOption() // bootloader-sim --swap-ms
    {
        QString error;
        const std::optional<SimulatorSettings> swapping =
            parseSimulatorArguments({"bootloader-sim", "--swap-ms", "2500"}, &error);
        QCOMPARE(swapping ? swapping->swapMs : -2, 2500);
        QCOMPARE(parseSimulatorArguments({"bootloader-sim"}, &error)->swapMs, -1);
        QVERIFY(!parseSimulatorArguments({"bootloader-sim", "--swap-ms", "-1"}, &error));
        QCOMPARE(error, QString("--swap-ms wants a whole number from 0 to 86400000, not \"-1\""));
    }

    void commandLine_data()
    {
        QTest::addColumn<QString>("arguments"); // %1: a simulator, %2: the test's folder
        QTest::addColumn<QString>("error");     // the usage error; none: it runs
        QTest::addColumn<int>("exitCode");      // when it runs; nothing is sent
        const QString run = "station %2/X.bin -d %1 --journal %2/";
        const auto row = [](const char *tag, const QString &arguments, const char *error,
                            int exitCode = 2) {
            QTest::newRow(tag) << arguments << QString(error) << exitCode;
        };
        row("--config and --device", "station --config c.conf -d %1 --journal j",
            "with --config, --device is for the config file to say");
        row("--config and IMAGE", "station --config c.conf X.bin --journal j",
            "with --config, IMAGE is for the config file to say");
        row("--journal missing", "station X.bin -d %1", "station wants --journal FILE");
        row("--gone-after 1.9", run + "j --gone-after 1.9",
            "--gone-after wants a number of seconds from 2 up, not \"1.9\"");
        row("--count 0", run + "j --count 0", "--count wants a whole number above 0, not \"0\"");
        row("--verbose", run + "j -v", "station takes no --verbose");
        row("--journal for upload", "upload X.bin -d %1 --journal j",
            "--journal is for station only");
        row("checksum mismatch", "station %2/flipped.bin -d %1 --journal %2/j", "", 2);
        row("pinned to another image", run + "j --expect-sha256 " + QString(64, '0'), "", 2);
        row("a pin that is not a SHA-256", run + "j --expect-sha256 0x12",
            "--expect-sha256 wants 64 hexadecimal digits (a SHA-256), not \"0x12\"");
        row("a name with a slash", run + "j --name a/b",
            "--name wants 1 to 64 letters, digits, '.', '_' or '-', not \"a/b\"");
        row("config NAME and --name disagree", "station --config %2/n.conf --journal %2/j --name b",
            "", 2);
        row("journal: a folder", run + "sub", "", 4);
        row("journal: a device", run.section(' ', 0, -2) + " /dev/null", "", 4);
        row("journal: in a missing folder", run + "none/j", "", 4);
        row("config: an unknown key", "station --config %2/c.conf --journal %2/j", "", 2);
        row("a slot another program holds: station", run + "j --count 1", "", 2);
        row("a slot another program holds: upload", "upload %2/X.bin -d %1", "", 2);
    }
    void commandLine() // nothing is sent; a refused journal is not created
    {
        QFETCH(QString, arguments);
        QFETCH(QString, error);
        startSimulators({""});
        QVERIFY(writeTestFile(m_dir.filePath("c.conf"), "SPEED=9\n"));
        QVERIFY(
            writeTestFile(m_dir.filePath("n.conf"), "IMAGE=X.bin\nDEVICES=127.0.0.1\nNAME=a\n"));
        arguments.replace("%1", m_devices[0].label()).replace("%2", m_dir.path());
        const std::variant<CliCommand, QString> command =
            parseCommandLine(QStringList{"bootloader-cli"} + arguments.split(' '));
        QCOMPARE(std::holds_alternative<QString>(command) ? std::get<QString>(command) : "", error);
        if (!error.isEmpty())
            return;
        SlotLock holder("another");
        QString why;
        QVERIFY(!QByteArray(QTest::currentDataTag()).contains("holds") ||
                holder.acquire(m_devices, &why));
        QTEST(runCommand(std::get<CliCommand>(command)), "exitCode");
        QCoreApplication::processEvents();
        QCOMPARE(received(*m_sims[0]), 0);
        QVERIFY(!QFileInfo::exists(m_dir.filePath("j")));
    }

    void config_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error"); // after "c.conf"; empty: accepted
        const QByteArray image = "IMAGE=X.bin\n", devices = "DEVICES=127.0.0.1:9 [::1]:8\n";
        QTest::newRow("every key, comments, blank lines")
            << image + devices +
                   "# limits\n\nRETRIES=3\nRETRY_AFTER=100\nTIMEOUT=2.5\nGONE_AFTER=4\n"
                   "NO_START=yes\r\nFORCE=no\nIMAGE_SHA256=" +
                   QByteArray(64, 'F') + "\nNAME=line-2\nMETRICS=m/line-2.prom\n"
            << "";
        QTest::newRow("a list beside the file") << image + "DEVICES_FROM=list.txt\n"
                                                << "";
        QTest::newRow("a missing file") << QByteArray() << ": not a readable regular file";
        QTest::newRow("unknown key") << image + "COLOUR=red\n"
                                     << ":2: unknown key COLOUR";
        QTest::newRow("repeated key")
            << image + devices + image << ":3: IMAGE given again (first on line 1)";
        QTest::newRow("IMAGE missing") << devices << ": IMAGE missing";
        QTest::newRow("devices missing") << image << ": DEVICES or DEVICES_FROM missing";
        QTest::newRow("both device keys") << image + devices + "DEVICES_FROM=list.txt\n"
                                          << ":3: DEVICES and DEVICES_FROM exclude each other";
        QTest::newRow("space before =") << QByteArray("IMAGE =X.bin\n") << ":1: not KEY=value";
        QTest::newRow("quotes") << QByteArray("IMAGE=\"X.bin\"\n") << ":1: no quotes";
        QTest::newRow("not UTF-8") << image + "# caf\xe9\n"
                                   << ":2: not UTF-8 text";
        QTest::newRow("a bad device") << image + "DEVICES=127.0.0.1 localhost\n"
                                      << ":2: DEVICES: \"localhost\" is not";
        QTest::newRow("a bad line in the list") << image + "DEVICES_FROM=bad.txt\n"
                                                << ":2: DEVICES_FROM: ";
        QTest::newRow("TIMEOUT 0") << image + devices + "TIMEOUT=0\n"
                                   << ":3: TIMEOUT wants a number of seconds above 0, not \"0\"";
        QTest::newRow("GONE_AFTER shorter than two pings")
            << image + devices + "GONE_AFTER=1.5\n"
            << ":3: GONE_AFTER wants a number of seconds from 2 up";
        QTest::newRow("RETRIES 101") << image + devices + "RETRIES=101\n"
                                     << ":3: RETRIES wants a whole number from 0 to 100";
        QTest::newRow("NO_START maybe") << image + devices + "NO_START=maybe\n"
                                        << ":3: NO_START wants yes or no";
        QTest::newRow("IMAGE_SHA256 short") << image + devices + "IMAGE_SHA256=abc\n"
                                            << ":3: IMAGE_SHA256 wants 64 hexadecimal digits";
        QTest::newRow("NAME with a slash") << image + devices + "NAME=a/b\n"
                                           << ":3: NAME wants 1 to 64 letters";
    }
    void config()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        const QString path = m_dir.filePath("c.conf");
        QFile::remove(path);
        QVERIFY(text.isEmpty() || writeTestFile(path, text));
        QVERIFY(writeTestFile(m_dir.filePath("list.txt"), "127.0.0.1:7\n"));
        QVERIFY(writeTestFile(m_dir.filePath("bad.txt"), "127.0.0.01\n"));
        QString why;
        std::optional<StationInput> input = readStationConfig(path, &why);
        std::optional<StationSettings> settings;
        if (input)
            settings = checkStationInput(*input, &why);
        QCOMPARE(why.section(path, 1).left(error.isEmpty() ? 99 : error.size()), error);
        if (!error.isEmpty())
            return;
        QCOMPARE(settings->imagePath, m_dir.filePath("X.bin"));
        QCOMPARE(settings->devices.size(), text.contains("DEVICES=") ? 2 : 1);
        if (!text.contains("RETRIES"))
            return;
        QCOMPARE(settings->session.retries, 3);
        QCOMPARE(settings->session.retryAfterMs, 100);
        QCOMPARE(settings->session.replyTimeoutMs, 2500);
        QCOMPARE(settings->goneAfterMs, 4000);
        QCOMPARE(settings->noStart, true);
        QCOMPARE(input->force, false);
        QCOMPARE(settings->expectSha256, QString(64, 'f'));
        QCOMPARE(settings->name, QString("line-2"));
        QCOMPARE(settings->metricsPath, m_dir.filePath("m/line-2.prom"));
    }

    void program_data()
    {
        QTest::addColumn<QStringList>("arguments"); // %1 %2 %3: the simulators
        QTest::addColumn<QString>("until"); // "upload", or a text in stderr, before the signals
        QTest::addColumn<QList<int>>("signals_");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("err");     // in stderr
        QTest::addColumn<QString>("results"); // the journal's result words
        const auto row = [](const char *tag, const QString &arguments, const char *until,
                            QList<int> signals_, int exitCode, const QString &err,
                            const char *results = "") {
            QTest::newRow(tag) << arguments.split(' ') << QString(until) << signals_ << exitCode
                               << err << QString(results);
        };
        const QString run = "station X.bin -d %1 --journal j.jsonl"; // Start answered after 0.5 s
        row("SIGKILL: whole lines only", run + " -d %2 -d %3", "PASS", {SIGKILL}, -1, "",
            "^ok( ok){0,2}$");
        row("SIGTERM twice: interrupted, 143", run, "present", {SIGTERM, SIGTERM}, 143,
            "board 1  FAIL: interrupted; End notice sent", "^interrupted$");
        row("SIGINT: the board finishes, then the station", run, "present", {SIGINT}, 0,
            "station: passed 1, failed 0, total 1, yield 100.0 %", "^ok$");
        row("--count 1 of two, --json, --name: numbers go on",
            run + " -d %2 --count 1 --json --name n", "", {}, 0,
            "127.0.0.1:\\d+  board 42  PASS \\(upload [\\d.]+ s, check [\\d.]+ s, start",
            "^ok ok ok$");
        row("file size limit: no board erased, exit 4", "ulimit-f0 " + run, "", {}, 4,
            "^(?![\\s\\S]*present)[\\s\\S]*board not flashed: the journal cannot take its "
            "record: the file size limit \\(0 bytes\\)");
        row("full disk: no board erased, exit 4", "full-disk " + run + " --journal disk/j.jsonl",
            "", {}, 4,
            "^(?![\\s\\S]*present)[\\s\\S]*board not flashed: the journal cannot take its "
            "record: no room on the disk for a record: No space left on device");
        row("SIGHUP: the journal opened again", run + " --count 1", "present", {SIGHUP}, 0,
            "SIGHUP: the journal was opened again", "^ok$");
        row("config error: FILE:LINE", "station --config c.conf --journal j.jsonl", "", {}, 2,
            "^bootloader-cli: c.conf:1: unknown key SPEED\n$");
    }
    void program()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, until);
        QFETCH(QList<int>, signals_);
        QFETCH(QString, err);
        QFETCH(QString, results);
        if (arguments[0] == "full-disk" && ::geteuid() != 0)
            QSKIP("a full disk is a tmpfs mounted in a namespace of its own: root only");
        QVERIFY(writeTestFile(m_dir.filePath("c.conf"), "SPEED=9\n"));
        std::vector<std::unique_ptr<SimProcess>> sims; // boards that never leave their slots
        for (int i = 1; arguments.join(' ').contains('%' + QString::number(i)); ++i) {
            sims.push_back(std::make_unique<SimProcess>(
                BOOTLOADER_SIM_PATH, QStringList{"--swap-ms", "0", "--erase-ms", "500", "-q"}));
            QVERIFY(sims.back()->port());
            arguments.replaceInStrings('%' + QString::number(i), sims.back()->device());
            QFile journal(m_dir.filePath("j.jsonl")); // with --name, the station ran before
            QVERIFY(
                !arguments.contains("--name") ||
                (journal.open(QIODevice::Append) &&
                 journal.write("{\"event\":\"board\",\"slot\":\"" + sims.back()->device().toUtf8() +
                               "\",\"board\":41,\"station\":\"n\",\"result\":\"ok\"}\n") > 0));
        }
        QTEST(runCli(arguments, until, signals_), "exitCode");
        QVERIFY2(m_err.contains(QRegularExpression(err)), qPrintable(m_err));
        QStringList journalled;
        for (const QJsonObject &r : records())
            journalled << r.value("result").toString("partial");
        QVERIFY2(
            journalled.join(' ').contains(QRegularExpression(results.isEmpty() ? "^$" : results)),
            qPrintable(journalled.join(' ')));
        QFETCH(int, exitCode);
        if (exitCode == 2) // refused before the journal is opened
            QVERIFY(!QFileInfo::exists(m_dir.filePath("j.jsonl")));
        if (!arguments.contains("--json"))
            return;
        QStringList events; // on stdout, the journal's line among them as it stands
        for (const QByteArray &line : m_out.split('\n'))
            events << QJsonDocument::fromJson(line).object().value("event").toString();
        QCOMPARE(events.join(' '), QString("present board pass totals "));
        QVERIFY(
            readTestFile(m_dir.filePath("j.jsonl")).endsWith(m_out.split('\n').value(1) + '\n'));
        const QJsonObject last = records().constLast();
        QCOMPARE(last["station"].toString(), QString("n"));
        QCOMPARE(last["board"].toInt(), 42);
        QVERIFY(QRegularExpression("^\\d{8}T\\d{6}Z-[0-9a-f]{6}$")
                    .match(last["run"].toString())
                    .hasMatch());
    }
};

QTEST_GUILESS_MAIN(StationTest)
#include "tst_station.moc"
