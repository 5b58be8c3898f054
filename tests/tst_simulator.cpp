#include "image/firmwareimage.h"
#include "link/datagram.h"
#include "link/protocol.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>
#include <csignal>
#include <memory>

namespace {

constexpr int ReplyWaitMs = 3000;
constexpr int QuietMs = 100; // ample for a loopback reply that must not come
constexpr int NoReply = -1;
constexpr int Ok = ReplyOkCode;
constexpr int KeepAlive = KeepAliveCode;

// The simulator's documented failure statuses.
constexpr int WriteWithoutStart = 0x01;
constexpr int WritePastEnd = 0x02;
constexpr int InvalidImage = 0x03;
constexpr int Forced = 0x04;
constexpr int UnknownName = 0x05;

struct Step
{
    quint8 type = CmdRequest;
    QByteArray name;
    QByteArray payload;
    int status = NoReply;
};
using Steps = QVector<Step>;

Step request(const char *name, int status, const QByteArray &payload = QByteArray())
{
    return {CmdRequest, name, payload, status};
}

Step notice(const char *name)
{
    return {CmdNotice, name, QByteArray(), NoReply};
}

const QByteArray Block(WriteBlockSize, 'b');

QByteArray patternImage()
{
    QByteArray raw(FirmwareBodySize - 1000, 0);
    for (int i = 0; i < raw.size(); ++i)
        raw[i] = char(i * 7 + i / 251);
    return buildFirmwareImage(raw);
}

QByteArray flipped(QByteArray bytes, int at)
{
    bytes[at] = char(bytes.at(at) ^ 0x01);
    return bytes;
}

// What a reply says, the way a tool reads it; short replies show as such.
QString describe(const QByteArray &reply)
{
    if (reply.isEmpty())
        return QStringLiteral("no reply");
    if (reply.size() <= ReplyStatusOffset)
        return QStringLiteral("short reply %1").arg(QString::fromLatin1(reply.toHex()));
    return QStringLiteral("seq=%1 status=0x%2")
        .arg(quint8(reply.at(ReplySequenceOffset)))
        .arg(quint8(reply.at(ReplyStatusOffset)), 2, 16, QChar('0'));
}

QString expected(quint8 sequence, int status)
{
    return describe(QByteArray::fromHex("02") + char(sequence) + '\0' + char(status));
}

} // namespace

Q_DECLARE_METATYPE(Steps)

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void commandScenarios_data();
    void commandScenarios();
    void fullUpload_data();
    void fullUpload();
    void malformedDatagrams_data();
    void malformedDatagrams();
    void replyFaults_data();
    void replyFaults();
    void deviceTime_data();
    void deviceTime();
    void pingFallsSilent();
    void verboseLog();
    void terminationSignals_data();
    void terminationSignals();
    void commandLineExits_data();
    void commandLineExits();

private:
    bool startSim(const QStringList &options);
    void send(quint8 type, quint8 sequence, const char *name, const QByteArray &payload = {});
    void sendRaw(const QByteArray &datagram);
    QByteArray takeReply(int timeoutMs = ReplyWaitMs);
    bool staysQuiet();
    QString simStderr();
    bool stopSim(int signalNumber);

    std::unique_ptr<QProcess> m_sim;
    std::unique_ptr<QUdpSocket> m_socket;
    quint16 m_port = 0;
    QList<QByteArray> m_replies;
    QString m_stderr;
};

void TestSimulator::init()
{
    m_replies.clear();
    m_stderr.clear();
    m_socket = std::make_unique<QUdpSocket>();
    QVERIFY(m_socket->bind(QHostAddress(QHostAddress::LocalHost), 0));
    connect(m_socket.get(), &QUdpSocket::readyRead, this, [this] {
        QByteArray datagram(65536, 0);
        const qint64 length = m_socket->readDatagram(datagram.data(), datagram.size());
        if (length >= 0)
            m_replies.append(datagram.left(int(length)));
    });
}

void TestSimulator::cleanup()
{
    if (m_sim && m_sim->state() != QProcess::NotRunning) {
        m_sim->terminate();
        if (!m_sim->waitForFinished(3000))
            m_sim->kill();
        m_sim->waitForFinished(3000);
    }
    m_sim.reset();
    m_socket.reset();
}

bool TestSimulator::startSim(const QStringList &options)
{
    m_sim = std::make_unique<QProcess>();
    m_sim->start(QStringLiteral(BOOTLOADER_SIM_PATH), QStringList{"--port", "0"} + options);
    if (!m_sim->waitForStarted(5000))
        return false;
    while (!m_sim->canReadLine()) {
        if (!m_sim->waitForReadyRead(5000))
            return false;
    }
    static const QRegularExpression listening(
        QStringLiteral("^bootloader-sim listening on 127\\.0\\.0\\.1:(\\d+)\\n$"));
    const QRegularExpressionMatch match = listening.match(QString::fromLatin1(m_sim->readLine()));
    m_port = match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
    return m_port != 0;
}

void TestSimulator::send(quint8 type, quint8 sequence, const char *name, const QByteArray &payload)
{
    sendRaw(Datagram::command(type, sequence, name, payload));
}

void TestSimulator::sendRaw(const QByteArray &datagram)
{
    QCOMPARE(m_socket->writeDatagram(datagram, QHostAddress::LocalHost, m_port),
             qint64(datagram.size()));
}

QByteArray TestSimulator::takeReply(int timeoutMs)
{
    if (m_replies.isEmpty()) {
        QSignalSpy arrived(m_socket.get(), &QUdpSocket::readyRead);
        arrived.wait(timeoutMs);
    }
    return m_replies.isEmpty() ? QByteArray() : m_replies.takeFirst();
}

bool TestSimulator::staysQuiet()
{
    QTest::qWait(QuietMs);
    return m_replies.isEmpty();
}

QString TestSimulator::simStderr()
{
    m_stderr += QString::fromLatin1(m_sim->readAllStandardError());
    return m_stderr;
}

bool TestSimulator::stopSim(int signalNumber)
{
    ::kill(pid_t(m_sim->processId()), signalNumber);
    return m_sim->waitForFinished(5000) && m_sim->exitStatus() == QProcess::NormalExit &&
           m_sim->exitCode() == 0;
}

void TestSimulator::commandScenarios_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<Steps>("steps");

    QTest::newRow("ping answers keep-alive") << QStringList() << Steps{request("Ping", KeepAlive)};
    QTest::newRow("check before any upload fails")
        << QStringList() << Steps{request("Check", InvalidImage)};
    QTest::newRow("end without upload fails")
        << QStringList() << Steps{request("End", InvalidImage)};
    QTest::newRow("write before start refused, after start kept")
        << QStringList()
        << Steps{request("Write", WriteWithoutStart, Block), request("Start", Ok),
                 request("Write", Ok, Block), request("Write", Ok, QByteArray())};
    QTest::newRow("start erases a held image")
        << QStringList() << Steps{request("Start", Ok), request("Check", InvalidImage)};
    QTest::newRow("end request closes the upload")
        << QStringList()
        << Steps{request("Start", Ok), request("Write", Ok, Block), request("End", InvalidImage),
                 request("Write", WriteWithoutStart, Block)};
    QTest::newRow("end notice abandons the upload")
        << QStringList()
        << Steps{request("Start", Ok), request("Write", Ok, Block), notice("End"),
                 request("Write", WriteWithoutStart, Block), request("Check", InvalidImage)};
    QTest::newRow("start-application and notices unanswered")
        << QStringList()
        << Steps{request("StartApplication", NoReply),
                 notice("Ping"),
                 notice("Start"),
                 notice("Write"),
                 request("Write", WriteWithoutStart, Block),
                 request("Ping", KeepAlive)};
    QTest::newRow("unknown request answered 0x05")
        << QStringList() << Steps{request("Reboot", UnknownName), request("Ping", KeepAlive)};
    QTest::newRow("fail start refuses without erasing")
        << QStringList{"--fail", "Start"}
        << Steps{request("Start", Forced), request("Write", WriteWithoutStart, Block),
                 request("Ping", KeepAlive)};
    QTest::newRow("fail ping") << QStringList{"--fail", "Ping"}
                               << Steps{request("Ping", Forced), request("Check", InvalidImage)};
    QTest::newRow("fail repeated") << QStringList{"--fail", "Write", "--fail", "Check"}
                                   << Steps{request("Start", Ok), request("Write", Forced, Block),
                                            request("Check", Forced), request("End", InvalidImage)};
    QTest::newRow("silent from the start silences only ping")
        << QStringList{"--silent-after-ms", "0"}
        << Steps{request("Ping", NoReply), request("Check", InvalidImage)};
}

void TestSimulator::commandScenarios()
{
    QFETCH(QStringList, options);
    QFETCH(Steps, steps);
    QVERIFY(startSim(options));

    quint8 sequence = 250; // crosses 255 -> 0: the echo is a plain byte
    for (const Step &step : qAsConst(steps)) {
        ++sequence;
        send(step.type, sequence, step.name.constData(), step.payload);
        // A wrong reply to a silent step shows up as the next reply read.
        if (step.status != NoReply)
            QCOMPARE(describe(takeReply()), expected(sequence, step.status));
    }
    QVERIFY(staysQuiet());
}

void TestSimulator::fullUpload_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<Steps>("tail"); // writes after the blocks, before End
    QTest::addColumn<int>("verdict");

    const QByteArray image = patternImage();
    const int allBlocks = FirmwareImageSize / WriteBlockSize;
    const QByteArray lastBlockButOne = image.right(WriteBlockSize).chopped(1);
    QTest::newRow("valid image") << image << allBlocks << Steps() << Ok;
    QTest::newRow("wrong checksum")
        << flipped(image, FirmwareImageSize - 1) << allBlocks << Steps() << InvalidImage;
    QTest::newRow("body byte changed")
        << flipped(image, 4321) << allBlocks << Steps() << InvalidImage;
    QTest::newRow("one block short") << image << allBlocks - 1 << Steps() << InvalidImage;
    QTest::newRow("byte past the end refused, image kept")
        << image << allBlocks << Steps{request("Write", WritePastEnd, QByteArray(1, '\0'))} << Ok;
    QTest::newRow("block overlapping the end refused whole")
        << image << allBlocks - 1
        << Steps{request("Write", Ok, lastBlockButOne), request("Write", WritePastEnd, Block)}
        << InvalidImage;
}

void TestSimulator::fullUpload()
{
    QFETCH(QByteArray, image);
    QFETCH(int, blocks);
    QFETCH(Steps, tail);
    QFETCH(int, verdict);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString savePath = dir.filePath(QStringLiteral("received.bin"));
    QVERIFY(startSim({"--save", savePath}));

    quint8 sequence = 0;
    // Empty when the reply is the one wanted, else what went wrong.
    const auto exchange = [&](const QByteArray &name, const QByteArray &payload, int status) {
        sequence = Datagram::nextSequence(sequence);
        send(CmdRequest, sequence, name.constData(), payload);
        const QString reply = describe(takeReply());
        const QString wanted = expected(sequence, status);
        return reply == wanted ? QString()
                               : QStringLiteral("%1: got %2, wanted %3")
                                     .arg(QString::fromLatin1(name), reply, wanted);
    };
    QCOMPARE(exchange("Start", {}, Ok), QString());
    QByteArray accepted;
    for (int block = 0; block < blocks; ++block) {
        const QByteArray payload = image.mid(block * WriteBlockSize, WriteBlockSize);
        const QString fault = exchange("Write", payload, Ok);
        if (!fault.isEmpty())
            QFAIL(qPrintable(QStringLiteral("block %1: %2").arg(block).arg(fault)));
        accepted += payload;
    }
    for (const Step &step : qAsConst(tail)) {
        QCOMPARE(exchange(step.name, step.payload, step.status), QString());
        if (step.status == Ok)
            accepted += step.payload;
    }
    QCOMPARE(exchange("End", {}, verdict), QString());

    QFile saved(savePath);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    const QByteArray savedBytes = saved.readAll();
    QCOMPARE(savedBytes.size(), accepted.size());
    QVERIFY(savedBytes == accepted); // QCOMPARE would print a megabyte
    QCOMPARE(exchange("Check", {}, verdict), QString());
}

void TestSimulator::malformedDatagrams_data()
{
    QTest::addColumn<QByteArray>("datagram");

    QTest::newRow("empty") << QByteArray();
    QTest::newRow("two bytes") << QByteArray("\x03\x01", 2);
    QTest::newRow("name runs past the end") << QByteArray("\x03\x01\x09Pin", 6);
    QTest::newRow("type zero") << QByteArray("\x00\x01\x04Ping", 7);
    QTest::newRow("unknown type") << QByteArray("\x07\x01\x04Ping", 7);
    QTest::newRow("unknown notice name") << QByteArray("\x01\x01\x06Reboot", 9);
    QTest::newRow("oversized garbage") << QByteArray(4000, '\xFF');
}

void TestSimulator::malformedDatagrams()
{
    QFETCH(QByteArray, datagram);
    QVERIFY(startSim({}));

    sendRaw(datagram);
    send(CmdRequest, 42, "Ping");
    // Loopback keeps the order: any answer to the bad datagram would come first.
    QCOMPARE(describe(takeReply()), expected(42, KeepAlive));
    QVERIFY(staysQuiet());
    QVERIFY(stopSim(SIGTERM));
    QVERIFY2(simStderr().contains(QLatin1String("2 datagrams received, 1 bad")),
             qPrintable(m_stderr));
}

void TestSimulator::replyFaults_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArrayList>("commands"); // sent at once, sequence 1, 2, ...
    QTest::addColumn<QList<int>>("sequences");    // as they arrive

    const QByteArrayList sixPings{"Ping", "Ping", "Ping", "Ping", "Ping", "Ping"};
    QTest::newRow("drop every 3rd")
        << QStringList{"--drop-every", "3"} << sixPings << QList<int>{1, 2, 4, 5};
    QTest::newRow("drop counts every reply")
        << QStringList{"--drop-every", "2"} << QByteArrayList{"Ping", "Check", "Start", "Check"}
        << QList<int>{1, 3};
    QTest::newRow("drop every reply")
        << QStringList{"--drop-every", "1"} << sixPings << QList<int>();
    QTest::newRow("duplicate every 2nd") << QStringList{"--duplicate-every", "2"} << sixPings
                                         << QList<int>{1, 2, 2, 3, 4, 4, 5, 6, 6};
    QTest::newRow("wrong sequence every 2nd")
        << QStringList{"--wrong-seq-every", "2"} << sixPings << QList<int>{1, 3, 3, 5, 5, 7};
    QTest::newRow("drop and duplicate together")
        << QStringList{"--drop-every", "2", "--duplicate-every", "3"} << sixPings
        << QList<int>{1, 3, 3, 5};
}

void TestSimulator::replyFaults()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArrayList, commands);
    QFETCH(QList<int>, sequences);
    QVERIFY(startSim(options));

    for (int i = 0; i < commands.size(); ++i)
        send(CmdRequest, quint8(i + 1), commands.at(i).constData());
    QTRY_COMPARE_WITH_TIMEOUT(m_replies.size(), sequences.size(), ReplyWaitMs);
    QTest::qWait(QuietMs); // nothing more may follow
    QCOMPARE(m_replies.size(), sequences.size());
    QList<int> arrived;
    for (const QByteArray &reply : qAsConst(m_replies))
        arrived << quint8(reply.at(ReplySequenceOffset));
    QCOMPARE(arrived, sequences);
}

void TestSimulator::deviceTime_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArrayList>("commands"); // sent at once, sequence 1, 2, ...
    QTest::addColumn<QList<int>>("sequences");    // as they arrive
    QTest::addColumn<QList<int>>("earliestMs");   // for each arrival, from the first send

    QTest::newRow("delay holds each reply, in order")
        << QStringList{"--delay-ms", "300"} << QByteArrayList{"Ping", "Check", "Ping"}
        << QList<int>{1, 2, 3} << QList<int>{300, 300, 300};
    QTest::newRow("erase holds only start, pings answered meanwhile")
        << QStringList{"--erase-ms", "400"} << QByteArrayList{"Start", "Ping"} << QList<int>{2, 1}
        << QList<int>{0, 400};
    QTest::newRow("delay and erase add up") << QStringList{"--delay-ms", "150", "--erase-ms", "300"}
                                            << QByteArrayList{"Start", "Ping", "Check"}
                                            << QList<int>{2, 3, 1} << QList<int>{150, 150, 450};
}

void TestSimulator::deviceTime()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArrayList, commands);
    QFETCH(QList<int>, sequences);
    QFETCH(QList<int>, earliestMs);
    QVERIFY(startSim(options));

    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < commands.size(); ++i)
        send(CmdRequest, quint8(i + 1), commands.at(i).constData());
    for (int i = 0; i < sequences.size(); ++i) {
        const QByteArray reply = takeReply();
        const qint64 arrivedMs = clock.elapsed();
        QVERIFY2(!reply.isEmpty(), "no reply");
        QCOMPARE(int(quint8(reply.at(ReplySequenceOffset))), sequences.at(i));
        QVERIFY2(arrivedMs >= earliestMs.at(i),
                 qPrintable(QStringLiteral("reply %1 after %2 ms").arg(i).arg(arrivedMs)));
    }
    QVERIFY(staysQuiet());
}

void TestSimulator::pingFallsSilent()
{
    QElapsedTimer clock;
    clock.start();
    QVERIFY(startSim({"--silent-after-ms", "600"}));
    send(CmdRequest, 1, "Ping");
    QCOMPARE(describe(takeReply()), expected(1, KeepAlive));

    quint8 sequence = 1;
    const auto pingAnswered = [&] {
        send(CmdRequest, ++sequence, "Ping");
        return !takeReply(QuietMs).isEmpty();
    };
    QTRY_VERIFY_WITH_TIMEOUT(!pingAnswered(), 5000);
    QVERIFY(clock.elapsed() >= 600);
    m_replies.clear();
    send(CmdRequest, 99, "Check");
    QCOMPARE(describe(takeReply()), expected(99, InvalidImage));
}

void TestSimulator::verboseLog()
{
    QVERIFY(startSim({"--verbose", "--drop-every", "3"}));
    send(CmdRequest, 9, "Ping");
    QCOMPARE(describe(takeReply()), expected(9, KeepAlive));
    sendRaw(QByteArray("\x03\x01", 2));
    send(CmdRequest, 10, "StartApplication");
    send(CmdRequest, 11, "Check");
    QCOMPARE(describe(takeReply()), expected(11, InvalidImage));
    send(CmdRequest, 12, "Check");
    QVERIFY(staysQuiet());

    const QStringList wanted = {
        "<- request Ping seq=9 len=7",
        "-> Ping seq=9 len=4 status=0x73 rtt=\\d+\\.\\d+ ms",
        "<- bad datagram len=2 ignored: too short",
        "<- request StartApplication seq=10 len=19 \\(unanswered\\)",
        "<- request Check seq=11 len=8",
        "-> Check seq=11 len=4 status=0x03 rtt=\\d+\\.\\d+ ms",
        "<- request Check seq=12 len=8",
        "-x Check seq=12 status=0x03 dropped after \\d+\\.\\d+ ms",
    };
    QTRY_COMPARE(simStderr().count('\n'), wanted.size());
    const QStringList lines = m_stderr.split('\n', Qt::SkipEmptyParts);
    for (int i = 0; i < wanted.size(); ++i) {
        QVERIFY2(QRegularExpression('^' + wanted.at(i) + '$').match(lines.value(i)).hasMatch(),
                 qPrintable(lines.value(i)));
    }
}

void TestSimulator::terminationSignals_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestSimulator::terminationSignals()
{
    QFETCH(int, signalNumber);
    QVERIFY(startSim({}));
    send(CmdRequest, 1, "Ping");
    QCOMPARE(describe(takeReply()), expected(1, KeepAlive));
    QVERIFY(stopSim(signalNumber));
    QVERIFY(simStderr().contains(QLatin1String("1 datagrams received, 0 bad, 1 replies sent")));
}

void TestSimulator::commandLineExits_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("mention"); // in the output the exit comes with

    QTest::newRow("help documents the statuses") << QStringList{"--help"} << 0 << "0x05";
    QTest::newRow("version") << QStringList{"--version"} << 0 << BOOTLOADER_VERSION;
    QTest::newRow("unknown option") << QStringList{"--colour"} << 2 << "colour";
    QTest::newRow("positional argument") << QStringList{"now"} << 2 << "now";
    QTest::newRow("missing value") << QStringList{"--delay-ms"} << 2 << "delay-ms";
    QTest::newRow("port above 65535") << QStringList{"--port", "65536"} << 2 << "65536";
    QTest::newRow("port not a number") << QStringList{"--port", "x"} << 2 << "port";
    QTest::newRow("negative delay") << QStringList{"--delay-ms", "-5"} << 2 << "delay-ms";
    QTest::newRow("erase not a number") << QStringList{"--erase-ms", "1s"} << 2 << "erase-ms";
    QTest::newRow("drop-every not a number")
        << QStringList{"--drop-every", "some"} << 2 << "drop-every";
    QTest::newRow("silent-after negative")
        << QStringList{"--silent-after-ms", "-1"} << 2 << "silent-after-ms";
    QTest::newRow("fail unknown command") << QStringList{"--fail", "Reboot"} << 2 << "Reboot";
    QTest::newRow("fail unanswered command")
        << QStringList{"--fail", "StartApplication"} << 2 << "StartApplication";
    QTest::newRow("bind to a name") << QStringList{"--bind", "localhost"} << 2 << "localhost";
    QTest::newRow("bind to every IPv4 interface")
        << QStringList{"--bind", "0.0.0.0"} << 2 << "loopback";
    QTest::newRow("bind to every IPv6 interface") << QStringList{"--bind", "::"} << 2 << "loopback";
    QTest::newRow("verbose with quiet") << QStringList{"--verbose", "--quiet"} << 2 << "quiet";
}

void TestSimulator::commandLineExits()
{
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QString, mention);

    m_sim = std::make_unique<QProcess>();
    // --port 0 first: should an option be wrongly accepted, no fixed port gets taken.
    m_sim->start(QStringLiteral(BOOTLOADER_SIM_PATH), QStringList{"--port", "0"} + options);
    QVERIFY(m_sim->waitForFinished(5000));
    QCOMPARE(m_sim->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_sim->exitCode(), exitCode);
    const QString out = QString::fromLatin1(m_sim->readAllStandardOutput());
    const QString err = QString::fromLatin1(m_sim->readAllStandardError());
    QVERIFY(!out.contains(QLatin1String("listening")));
    QVERIFY2((exitCode == 0 ? out : err).contains(mention), qPrintable(out + err));
}

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
