#include "cli/commandlineoptions.h"
#include "core/datagram.h"
#include "core/firmwareimage.h"
#include "posix/output.h"
#include "session/devicesession.h"
#include "session/sessionresult.h"
#include "session/sessionrunner.h"
#include "sim/devicesimulator.h"
#include "sim/simulatoroptions.h"
#include "tests/support/testfiles.h"

#include <QDir>
#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <numeric>

namespace {

// The CLI's timing shortened a hundredfold or so, so that a link loss takes a tenth of a second.
DeviceSession::Settings quickSettings(const QString &words)
{
    DeviceSession::Settings settings;
    settings.pingIntervalMs = 20;
    settings.linkTimeoutMs = 300;
    settings.replyTimeoutMs = 1000;
    settings.retryAfterMs = 20;
    settings.endNoticeIntervalMs = 50;
    const QHash<QString, int *> fields{{"retries", &settings.retries},
                                       {"timeout", &settings.replyTimeoutMs},
                                       {"after", &settings.retryAfterMs},
                                       {"link", &settings.linkTimeoutMs}};
    for (const QString &word : words.split(' '))
        if (int *field = fields.value(word.section('=', 0, 0)))
            *field = word.section('=', 1).toInt();
    return settings;
}

// What the tool writes to stdout and stderr while this lives, kept in files.
struct CapturedOutput
{
    QTemporaryFile out, err;
    CapturedOutput()
    {
        QTest::qVerify(out.open() && err.open(), "open", "", __FILE__, __LINE__);
        Output::writeTo(out.handle(), err.handle());
    }
    ~CapturedOutput() { Output::writeTo(STDOUT_FILENO, STDERR_FILENO); }
};

} // namespace

// What a device does that the simulator does not: echoing, replies forged from another port,
// or answers replayed from `replay` requests back when the 20th request comes. Counts the "End"
// notices it receives.
class Peer : public QObject
{
public:
    explicit Peer(const QString &peerMode) : mode(peerMode)
    {
        socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
        connect(&socket, &QUdpSocket::readyRead, this, [this] {
            while (socket.hasPendingDatagrams()) {
                const QNetworkDatagram got = socket.receiveDatagram();
                const auto parsed =
                    Datagram::parseCommand(got.data().constData(), got.data().size());
                if (!parsed)
                    continue;
                const bool ping = parsed->name == "Ping";
                ends += parsed->type == CmdNotice && parsed->name == "End";
                const auto reply = [&](quint8 sequence, quint8 status) {
                    socket.writeDatagram(
                        got.makeReply(QByteArray("\2") + char(sequence) + '\1' + char(status)));
                };
                if (mode == "echo")
                    socket.writeDatagram(got.makeReply(got.data()));
                else if (mode == "forge")
                    forger.writeDatagram(
                        got.makeReply(QByteArray::fromHex(ping ? "02010173" : "020205AC")));
                if (!mode.startsWith("device") || parsed->type != CmdRequest)
                    continue;
                requests += ping ? QVector<quint8>() : QVector<quint8>{parsed->sequence};
                if (const int replay = mode.section(':', 1).toInt();
                    replay && requests.size() == qMax(20, replay + 2))
                    reply(requests[requests.size() - 1 - replay], ReplyOkCode);
                reply(parsed->sequence, ping ? KeepAliveCode : ReplyOkCode);
            }
        });
    }
    QString mode;
    QUdpSocket socket, forger;
    int ends = 0;
    QVector<quint8> requests; // the sequence of each request other than "Ping"
};

// DeviceSession and the runner in this event loop against the simulator library or a loopback
// peer, with shortened timing: judged by the result, its detail and what reached the device.
class SessionTest : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    const QByteArray m_image = buildFirmwareImage(QByteArray("0123456789abcdef-").repeated(35000));
    std::vector<std::unique_ptr<DeviceSimulator>> m_sims;
    std::vector<std::unique_ptr<Peer>> m_peers;

    // "sim OPTIONS...", "peer MODE" or "none" (a port nothing listens on).
    DeviceTarget target(const QString &description)
    {
        const QStringList words = description.split(' ', Qt::SkipEmptyParts);
        DeviceTarget device{QHostAddress(QHostAddress::LocalHost), 0,
                            words.value(0).section('@', 1)}; // "sim@lo": tied to lo
        if (words.value(0) == "peer") {
            m_peers.push_back(std::make_unique<Peer>(words.value(1)));
            device.port = m_peers.back()->socket.localPort();
        } else if (words.value(0) == "none") {
            QUdpSocket closed;
            closed.bind(QHostAddress(QHostAddress::LocalHost), 0);
            device.port = closed.localPort();
        } else {
            QString error;
            std::optional<SimulatorSettings> settings = parseSimulatorArguments(
                QStringList{"sim", "--port", "0", "-q", "--save",
                            m_dir.filePath(QString("saved%1.bin").arg(m_sims.size()))} +
                    words.mid(1),
                &error);
            QTest::qVerify(bool(settings), "settings", qPrintable(error), __FILE__, __LINE__);
            m_sims.push_back(
                std::make_unique<DeviceSimulator>(settings.value_or(SimulatorSettings())));
            m_sims.back()->listen(&error);
            device.port = m_sims.back()->port();
        }
        return device;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir::setCurrent(m_dir.path()));
        QVERIFY(writeTestFile("twice.txt", "# bench\n\n[::ffff:127.0.0.1]"));
        QVERIFY(writeTestFile("bad.txt", "127.0.0.2\n\n127.0.0.01:1 # typo\n"));
        QVERIFY(writeTestFile("esc.txt", "\x1b[2J" + QByteArray(900000, 'x')));
        QVERIFY(writeTestFile("nul.txt", QByteArray("127.0.0.2\0 x", 12)));
    }
    void cleanup() { m_sims.clear(), m_peers.clear(); }

    void session_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("client"); // operation, then settings; "image=N": N blocks
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("detail"); // a pattern
        QTest::addColumn<int>("ends");       // "End" notices sent
        const auto row = [](const char *tag, const char *device, const char *client,
                            const char *result, const char *detail, int ends = 0) {
            QTest::newRow(tag) << device << client << result << detail << ends;
        };
        const char *uploaded = "^Uploading has been completed successful!$";
        row("upload", "sim", "upload", "ok", uploaded);
        row("check", "sim", "check", "failed", "^Application is wrong! \\(Check answered 0x03\\)");
        row("start: a notice once the link is up", "sim", "start", "ok", "should be started");
        row("End refused", "sim --fail End", "upload", "failed", "\\(End answered 0x04\\)$");
        row("erase outlasts the link window: keep-alives restart it", "sim --erase-ms 500",
            "upload link=150", "ok", uploaded);
        row("link lost", "sim --silent-after-ms 60 --erase-ms 2000", "upload link=100", "link lost",
            "^no keep-alive answer for 0.1 s$");
        row("no answer", "sim --silent-after-ms 0", "check link=100", "no answer",
            "^no answer from 127");
        row("nothing listens", "none", "check", "nothing listens", "^nothing listens at 127");
        row("forged replies from another port", "peer forge", "check link=100", "no answer", "");
        row("a reply lost, no retries", "sim --drop-every 50", "upload timeout=150", "timed out",
            "^no reply to \\w+ \\(sequence \\d+\\) within 0.15 s$");
        row("lost replies sent again, three tries each", "sim --drop-every 50", "upload retries=3",
            "ok", uploaded);
        row("each reply has its own time limit", "sim --delay-ms 60", "upload timeout=150 image=2",
            "failed", "End answered 0x03");
        row("duplicate replies, no retries", "sim --duplicate-every 7", "upload",
            "sequence mismatch", "^a reply echoed sequence \\d+, expected \\d+; End notice sent$",
            1);
        row("duplicate replies, retries: dropped", "sim --duplicate-every 7", "upload retries=1",
            "ok", uploaded);
        row("erase longer than --retry-after, retries", "sim --erase-ms 80", "upload retries=5",
            "ok", uploaded);
        row("the reply to Start lost in a long erase: repeats span the time limit",
            "sim --erase-ms 400 --drop-answer 1", "upload retries=3 after=100 timeout=600", "ok",
            uploaded);
        row("late reply to the previous request, no retries", "peer device:1", "upload image=24",
            "sequence mismatch", "echoed sequence 20, expected 21", 1);
        row("late reply to the previous request, retries", "peer device:1",
            "upload retries=1 image=24", "ok", uploaded);
        row("late reply 40 requests back, retries: dropped", "peer device:40",
            "upload retries=1 image=48", "ok", uploaded);
        row("echo: one End notice per interval", "peer echo", "check timeout=300", "timed out", "",
            -1);
        row("interrupted at 10 %: End notice", "sim", "upload stop=10", "interrupted",
            "^interrupted; End notice sent$", 1);
        row("interrupted while connecting", "sim --silent-after-ms 0", "upload stop=0",
            "interrupted", "^interrupted$");
    }
    void session()
    {
        QFETCH(QString, device);
        QFETCH(QString, client);
        QFETCH(QString, detail);
        QFETCH(QString, result);
        const QString operation = client.section(' ', 0, 0);
        const int blocks = client.section("image=", 1).section(' ', 0, 0).toInt();
        const QByteArray image = blocks ? m_image.left(blocks * WriteBlockSize) : m_image;
        const int stopAt = client.contains("stop=") ? client.section("stop=", 1).toInt() : -1;
        DeviceSession session(target(device),
                              operation == "upload"  ? DeviceSession::Operation::Upload
                              : operation == "check" ? DeviceSession::Operation::Check
                                                     : DeviceSession::Operation::StartApplication,
                              image, quickSettings(client));
        QVector<int> progress;
        int notices = 0, repeats = 0;
        connect(&session, &DeviceSession::progressChanged, this, [&](int percent) {
            progress << percent;
            if (percent == stopAt)
                session.interrupt();
        });
        connect(&session, &DeviceSession::noticeSent, this,
                [&](const char *name) { notices += qstrcmp(name, "End") == 0; });
        connect(&session, &DeviceSession::requestRepeated, this, [&] { ++repeats; });
        QSignalSpy finished(&session, &DeviceSession::finished);
        session.start();
        if (stopAt == 0)
            session.interrupt();
        QVERIFY(finished.count() == 1 || finished.wait(5000));
        QCOMPARE(resultText(session.result()), result);
        QVERIFY2(session.detail().contains(QRegularExpression(detail)),
                 qPrintable(session.detail()));
        QCOMPARE(repeats, session.retries());
        if (device.startsWith("peer device:")) // the replayed reply
            QCOMPARE(session.lateReplies(), int(client.contains("retries")));
        if (!m_peers.empty() && m_peers.back()->mode != "forge") // what reached the device
            QTRY_COMPARE(m_peers.back()->ends, notices);
        QFETCH(int, ends);
        if (ends >= 0)
            QCOMPARE(notices, ends);
        else // one a 50 ms interval over 300 ms at most, and not only the first
            QVERIFY2(notices >= 2 && notices <= 7, qPrintable(QString::number(notices)));
        if (result != "ok" || operation != "upload")
            return;
        QVector<int> percents(100);
        std::iota(percents.begin(), percents.end(), 1);
        if (blocks == 0)
            QCOMPARE(progress, percents);
        QCOMPARE(session.roundTripsUs().size(), image.size() / WriteBlockSize + 2);
        if (!m_sims.empty()) // what the device saved at End is the image
            QVERIFY(readTestFile(m_dir.filePath("saved0.bin")) == m_image);
    }

    void runner_data()
    {
        QTest::addColumn<QStringList>("devices");
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("exitStatus");
        QTest::addColumn<QStringList>("results");
        QTest::newRow("a lost device over a refusal over success")
            << QStringList{"sim --fail End", "none", "sim"} << 0 << 3
            << QStringList{"failed", "nothing listens", "ok"};
        QTest::newRow("a refusal over success")
            << QStringList{"sim", "sim --fail Write"} << 0 << 1 << QStringList{"ok", "failed"};
        QTest::newRow("SIGTERM") << QStringList{"sim", "sim"} << int(SIGTERM) << 143
                                 << QStringList{"interrupted", "interrupted"};
    }
    void runner()
    {
        QFETCH(QStringList, devices);
        QFETCH(int, signal);
        QFETCH(QStringList, results);
        QVector<DeviceTarget> targets;
        for (const QString &description : devices)
            targets << target(description);
        RunOptions quiet;
        quiet.session = quickSettings(""), quiet.quiet = true;
        SessionRunner runner(DeviceSession::Operation::Upload, m_image, targets, quiet);
        QSignalSpy finished(&runner, &SessionRunner::finished);
        runner.start();
        if (signal)
            runner.interrupt(signal);
        QVERIFY(runner.isFinished() || finished.wait(5000));
        QTEST(runner.exitStatus(), "exitStatus");
        for (int i = 0; i < results.size(); ++i) { // what the report says of each device
            const ProgressReporter::Summary summary = summaryOf(*runner.sessions()[size_t(i)]);
            QCOMPARE(summary.result, results[i]);
            QCOMPARE(summary.exitStatus, results[i] == "ok" ? 0 : results[i] == "failed" ? 1 : 3);
            QCOMPARE(summary.retries, 0);
            if (results[i] == "ok")
                QCOMPARE(summary.roundTripsUs.size(), 1794);
        }
    }

    void run_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QStringList>("command"); // the operation, the next steps, "json"
        QTest::addColumn<QString>("sent");        // requests answered and notices, in order
        QTest::addColumn<QString>("said");        // found in stdout, then stderr
        QTest::addColumn<int>("waits");           // lines that say "waiting"
        const auto row = [](const char *tag, const char *device, const char *command,
                            const char *sent, const char *said, int waits = 0) {
            QTest::newRow(tag) << device << QString(command).split(' ') << sent << said << waits;
        };
        row("a silent device: said once that it is waited for", "sim --silent-after-ms 0", "check",
            "", "\nwaiting for 127.0.0.1:\\d+: no answer yet; given up after 0.3 s\n", 1);
        row("a silent device, --json: one event", "sim --silent-after-ms 0", "check json", "",
            "\n\\{\"device\":\"127.0.0.1:\\d+\",\"event\":\"waiting\",\"gives_up_after_seconds\":"
            "0.3,\"schema\":1\\}\n",
            1);
        row("tied to an interface, --json: the result names it", "sim@lo", "check json", "Check",
            "\"exit_status\":1,\"interface\":\"lo\",");
        row("upload --check --start: started after the check passed", "sim", "upload check start",
            "Start End Check StartApplication",
            "^127.0.0.1:\\d+  ok .* upload, check, start: Application should be started.\n");
        row("upload --check --start, Check fails: not started", "sim --fail Check",
            "upload check start", "Start End Check",
            "^127.0.0.1:\\d+  failed .* upload, check: Application is wrong! \\(Check answered");
        row("upload --start, End refused: not started", "sim --fail End", "upload start",
            "Start End", "^127.0.0.1:\\d+  failed .* upload: .*\\(End answered 0x04\\)\n");
        row("upload --json, End refused: the verdict event", "sim --fail End", "upload json",
            "Start End",
            "\n\\{\"detail\":\"Uploaded with error :\\( \\(End answered 0x04\\)\",\"device\":"
            "\"127.0.0.1:\\d+\",\"event\":\"verdict\",\"schema\":1,\"success\":false\\}\n");
        row("check --start, nothing to check: not started", "sim", "check start", "Check",
            "^127.0.0.1:\\d+  failed .* check: Application is wrong!");
    }
    void run()
    {
        QFETCH(QString, device);
        QFETCH(QStringList, command);
        QFETCH(QString, said);
        const QHash<QString, DeviceSession::Operation> operations{
            {"upload", DeviceSession::Operation::Upload},
            {"check", DeviceSession::Operation::Check},
            {"start", DeviceSession::Operation::StartApplication}};
        RunOptions options;
        options.session = quickSettings("link=300");
        options.json = command.removeAll("json");
        for (const QString &step : command.mid(1))
            options.nextSteps << operations[step];
        CapturedOutput output;
        SessionRunner runner(operations[command[0]], m_image, {target(device)}, options);
        QStringList sent;
        DeviceSession *session = runner.sessions().front().get();
        connect(session, &DeviceSession::noticeSent, this, [&](const char *name) { sent << name; });
        connect(session, &DeviceSession::commandAnswered, this, [&](const char *name) {
            sent << (QString("Ping Write").contains(name) ? QStringList() : QStringList(name));
        });
        QSignalSpy finished(&runner, &SessionRunner::finished);
        runner.start();
        QVERIFY(finished.wait(5000));
        QTEST(sent.join(' '), "sent");
        runner.writeSummaries();
        const QString text =
            readTestFile(output.out.fileName()) + readTestFile(output.err.fileName());
        QVERIFY2(text.contains(QRegularExpression(said)), qPrintable(text));
        QTEST(int(text.count("waiting")), "waits");
    }

    void reportOnPipe() // what a reader of a full pipe takes ends at a line end
    {
        int pipe[2] = {-1, -1};
        QCOMPARE(::pipe2(pipe, O_NONBLOCK), 0);
        QCOMPARE(::fcntl(pipe[0], F_SETPIPE_SZ, PIPE_BUF), PIPE_BUF); // one page
        // PIPE_BUF + 1 bytes in two lines: the pipe holds the first, then the second.
        const QByteArray lines =
            QByteArray(99, 'a') + '\n' + QByteArray(PIPE_BUF - 100, 'b') + '\n';
        Output::writeTo(pipe[1], STDERR_FILENO);
        Output::report(lines);
        QByteArrayList reads;
        const bool taken = QTest::qWaitFor([&] {
            char buffer[2 * PIPE_BUF];
            const ssize_t got = ::read(pipe[0], buffer, sizeof buffer);
            reads << (got > 0 ? QByteArray(buffer, int(got)) : QByteArray());
            return reads.join().size() >= lines.size();
        });
        Output::writeTo(STDOUT_FILENO, STDERR_FILENO);
        ::close(pipe[0]), ::close(pipe[1]);
        QVERIFY(taken);
        QCOMPARE(reads.join(), lines);
        for (const QByteArray &read : reads)
            QVERIFY2(read.isEmpty() || read.endsWith('\n'), read.right(20).constData());
    }

    void options_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("error");  // a pattern; empty: accepted
        QTest::addColumn<QString>("labels"); // accepted: the devices' labels
        const auto row = [](const char *tag, const char *arguments, const char *error = "",
                            const char *labels = "") {
            QTest::newRow(tag) << QString(arguments) << QString(error) << QString(labels);
        };
        row("upload with every session option",
            "upload x.bin -d 127.0.0.1 -d [::1]:9 --retries 3 --retry-after 20 -t 2.5 --force "
            "--start --check",
            "", "127.0.0.1:31120 [::1]:9");
        row("one address on two interfaces, IPv6 scopes by name and by number",
            "check -d 192.168.10.50@lo -d 192.168.10.50 -d [fe80::1%lo]:31120 -d [fe80::1%1]:9", "",
            "192.168.10.50:31120@lo 192.168.10.50:31120 [fe80::1%lo]:31120 [fe80::1%1]:9");
        row("--interface for each device that names none",
            "start --interface lo -d 192.168.10.50:1 -d 192.168.10.50:2@lo", "",
            "192.168.10.50:1@lo 192.168.10.50:2@lo");
        row("the same address, port and interface twice",
            "check --interface lo -d 192.168.10.50 -d 192.168.10.50@lo", "@lo is named twice$");
        row("an interface this machine does not have", "check -d 192.168.10.50@nosuch0",
            "^--device: \"192.168.10.50@nosuch0\": \"nosuch0\" is not a network interface of this");
        row("an empty interface", "check -d 192.168.10.50@", "\"\" is not a network interface");
        row("--interface that does not exist", "check --interface eth/1 -d 127.0.0.1",
            "\"eth/1\" is not a network interface");
        row("an IPv6 scope that names no interface", "check -d [fe80::1%nosuch0]:1",
            "^--device: the scope of \"fe80::1%nosuch0\" is not a network interface");
        row("device with leading zeros", "check -d 127.000.000.001:1", "not an IPv4 or IPv6");
        row("port 65536", "check -d [::1]:65536", "from 1 to 65535");
        row("0.0.0.0 as IPv4-mapped IPv6", "check -d [::ffff:0.0.0.0]:1", "not the address of one");
        row("a device listed again", "check --devices-from twice.txt -d 127.0.0.1",
            "^\"twice.txt\", line 3: \\S+ is named twice$");
        row("a malformed line", "check --devices-from bad.txt",
            "^\"bad.txt\", line 3: \"127.0.0.01\"");
        row("a list line with an ESC byte, 900 KB: escaped, cut short",
            "check --devices-from esc.txt",
            "^\"esc.txt\", line 1: \"\\\\x1b\\[2Jx{76}\"\\.\\.\\. \\(900004 characters\\) is not "
            "an IPv4");
        row("a list line with a NUL byte", "check --devices-from nul.txt",
            "^\"nul.txt\", line 1: a NUL byte$");
        row("--timeout with an ESC byte", "check -t \x1b[2J -d 127.0.0.1",
            "^--timeout wants a number of seconds above 0, not \"\\\\x1b\\[2J\"$");
        row("no device", "check", "^check wants at least one --device$");
        row("unknown command", "flash x.bin", "^unknown command \"flash\"$");
        row("--quiet --verbose", "inspect x.bin -q -v", "exclude each other");
        row("inspect with a device", "inspect x.bin -d 127.0.0.1", "^inspect takes no --device$");
        row("check --force", "check --force -d 127.0.0.1",
            "^--force is for upload and station only$");
        row("check --check", "check --check -d 127.0.0.1", "^--check is for upload only$");
        row("start --start", "start --start -d 127.0.0.1", "^--start is for upload and check$");
        row("--timeout 0", "check -t 0 -d 127.0.0.1", "^--timeout wants a number of seconds");
        row("--retries 101", "check --retries 101 -d 127.0.0.1", "from 0 to 100");
        row("--retry-after 0", "check --retry-after 0 -d 127.0.0.1", "^--retry-after wants");
    }
    void options()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, error);
        QFETCH(QString, labels);
        const auto checked = parseCommandLine(QStringList{"bootloader-cli"} + arguments.split(' '));
        const QString *refused = std::get_if<QString>(&checked);
        QVERIFY2(!refused == error.isEmpty(), refused ? qPrintable(*refused) : "accepted");
        if (refused) {
            QVERIFY2(refused->contains(QRegularExpression(error)), qPrintable(*refused));
            return;
        }
        const CliCommand &command = std::get<CliCommand>(checked);
        QStringList given;
        for (const DeviceTarget &device : command.devices)
            given << device.label();
        QCOMPARE(given.join(' '), labels);
        if (command.kind != CliCommand::Kind::Upload)
            return;
        const DeviceSession::Settings &session = command.run.session;
        QCOMPARE(session.retries, 3);
        QCOMPARE(session.retryAfterMs, 20);
        QCOMPARE(session.replyTimeoutMs, 2500);
        using Operation = DeviceSession::Operation; // whatever the order of the options
        QCOMPARE(command.run.nextSteps,
                 QVector<Operation>({Operation::Check, Operation::StartApplication}));
        // No option for the link's timing: the protocol's.
        QCOMPARE(session.pingIntervalMs, 1000);
        QCOMPARE(session.linkTimeoutMs, 12000);
    }
};

QTEST_GUILESS_MAIN(SessionTest)
#include "tst_session.moc"
