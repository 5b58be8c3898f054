#include "core/firmwareimage.h"
#include "core/datagram.h"
#include "core/protocol.h"
#include "support/simprocess.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>
#include <memory>

namespace {

constexpr int QuietMs = 100; // ample for a loopback reply that must not come
constexpr int Ok = ReplyOkCode, KeepAlive = KeepAliveCode;
constexpr int Unanswered = -1, Notice = -2, Raw = -3; // no reply due; Raw: payload sent as is
// The simulator's documented failure statuses.
constexpr int WriteWithoutStart = 0x01, WritePastEnd = 0x02, InvalidImage = 0x03, Forced = 0x04;

struct Step
{
    QByteArray name;
    int status = Unanswered;
    QByteArray payload = {};
};
using Steps = QVector<Step>;
using Ints = QList<int>;
const QByteArray Block(WriteBlockSize, 'b');

QString expected(quint8 sequence, int status)
{
    return QStringLiteral("seq=%1 status=0x%2").arg(sequence).arg(status, 2, 16, QChar('0'));
}

// A whole upload: Start, `blocks` blocks of `image`, `tail`, then End and Check.
Steps upload(const QByteArray &image, int blocks, int verdict, const Steps &tail = {})
{
    Steps steps{{"Start", Ok}};
    for (int block = 0; block < blocks; ++block)
        steps.append({"Write", Ok, image.mid(block * WriteBlockSize, WriteBlockSize)});
    return steps + tail + Steps{{"End", verdict}, {"Check", verdict}};
}

} // namespace

Q_DECLARE_METATYPE(Steps)

// bootloader-sim as a separate process on loopback, judged by the replies a tool receives.
class TestSimulator : public QObject
{
    Q_OBJECT

    std::unique_ptr<SimProcess> m_sim;
    QUdpSocket m_socket;
    QTemporaryDir m_dir;
    const QString m_savePath = m_dir.filePath(QStringLiteral("saved.bin"));

    bool startSim(const QStringList &options)
    {
        m_sim = std::make_unique<SimProcess>(QStringLiteral(BOOTLOADER_SIM_PATH), options);
        return m_sim->port() != 0;
    }
    void send(quint8 sequence, const Step &step)
    {
        const quint8 type = step.status == Notice ? CmdNotice : CmdRequest;
        const QByteArray bytes =
            step.status == Raw
                ? step.payload
                : Datagram::command(type, sequence, step.name.constData(), step.payload);
        QCOMPARE(m_socket.writeDatagram(bytes, QHostAddress::LocalHost, m_sim->port()),
                 qint64(bytes.size()));
    }
    QByteArray nextReply(int timeoutMs = 3000)
    {
        if (!m_socket.hasPendingDatagrams())
            m_socket.waitForReadyRead(timeoutMs);
        return m_socket.hasPendingDatagrams() ? m_socket.receiveDatagram().data() : QByteArray();
    }
    bool staysQuiet() { return nextReply(QuietMs).isNull(); }
    // Sends the steps in turn: empty when each reply was the one due, else the first wrong one.
    QString play(const Steps &steps, quint8 sequence)
    {
        for (const Step &step : steps) {
            send(++sequence, step);
            if (step.status < 0)
                continue;
            const QByteArray bytes = nextReply();
            const QString got = bytes.size() > ReplyStatusOffset
                                    ? expected(quint8(bytes.at(ReplySequenceOffset)),
                                               quint8(bytes.at(ReplyStatusOffset)))
                                    : "short or no reply: " + bytes.toHex();
            if (got != expected(sequence, step.status))
                return QString::fromLatin1(step.name) + QStringLiteral(" seq=%1: ").arg(sequence) +
                       got;
        }
        return QString();
    }

private slots:
    void initTestCase() { QVERIFY(m_socket.bind(QHostAddress(QHostAddress::LocalHost), 0)); }
    void init()
    {
        while (m_socket.hasPendingDatagrams()) // late replies of the test before
            m_socket.receiveDatagram();
        QFile::remove(m_savePath);
    }
    void cleanup() { m_sim.reset(); }

    void exchanges_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<Steps>("steps");
        QTest::newRow("ping keep-alive, check without image fails")
            << QStringList() << Steps{{"Ping", KeepAlive}, {"Check", InvalidImage}};
        QTest::newRow("write before start refused, after start kept")
            << QStringList()
            << Steps{{"Write", WriteWithoutStart, Block}, {"Start", Ok}, {"Write", Ok, Block}};
        QTest::newRow("end notice abandons the upload")
            << QStringList()
            << Steps{Step{"Start", Ok}, Step{"Write", Ok, Block}, Step{"End", Notice},
                     Step{"Write", WriteWithoutStart, Block}, Step{"Check", InvalidImage}};
        QTest::newRow("start-application and notices unanswered")
            << QStringList()
            << Steps{Step{"StartApplication"}, Step{"Ping", Notice}, Step{"Start", Notice},
                     Step{"Write", WriteWithoutStart, Block}, Step{"Ping", KeepAlive}};
        // Loopback keeps the order: any answer to a bad datagram would come before the keep-alive.
        QTest::newRow("bad datagrams ignored")
            << QStringList()
            << Steps{Step{"", Raw, ""}, Step{"", Raw, "\x03\x01\x09Pin"},
                     Step{"", Raw, "\x07\x01\x04Ping"}, Step{"", Raw, QByteArray(4000, '\xFF')},
                     Step{"Ping", KeepAlive}};
        QTest::newRow("fail refuses without effect")
            << QStringList{"--fail", "Start", "--fail", "Check"}
            << Steps{Step{"Start", Forced}, Step{"Write", WriteWithoutStart, Block},
                     Step{"Check", Forced}, Step{"Ping", KeepAlive}};

        QByteArray image(FirmwareBodySize - 1000, 0);
        for (int i = 0; i < image.size(); ++i)
            image[i] = char(i * 7 + i / 251);
        image = buildFirmwareImage(image);
        const QByteArray badChecksum = image.chopped(1) + char(image.back() ^ 1);
        const QStringList save{"--save", m_savePath};
        const int all = FirmwareImageSize / WriteBlockSize;
        QTest::newRow("valid image") << save << upload(image, all, Ok);
        QTest::newRow("wrong checksum") << save << upload(badChecksum, all, InvalidImage);
        QTest::newRow("one block short") << save << upload(image, all - 1, InvalidImage);
        QTest::newRow("byte past the end refused, image kept")
            << save << upload(image, all, Ok, {{"Write", WritePastEnd, QByteArray(1, '\0')}});
    }
    void exchanges()
    {
        QFETCH(QStringList, options);
        QFETCH(Steps, steps);
        QVERIFY(startSim(options));
        QCOMPARE(play(steps, 252), QString()); // crosses 255 -> 0: the echo is a plain byte
        QVERIFY(staysQuiet());                 // nor any reply to a step that wants none
        QVERIFY(m_sim->stop());                // SIGTERM: exit 0, with a summary
        const QString err = m_sim->process().readAllStandardError();
        QVERIFY2(err.contains(QStringLiteral("%1 datagrams received").arg(steps.size())),
                 qPrintable(err));
        if (!options.contains(m_savePath))
            return;
        QByteArray accepted;
        for (const Step &step : qAsConst(steps))
            accepted += step.name == "Write" && step.status == Ok ? step.payload : QByteArray();
        QFile saved(m_savePath);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QVERIFY(saved.readAll() == accepted); // QCOMPARE would print a megabyte
    }

    void replyTiming_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArrayList>("commands"); // sent at once, sequence 1, 2, ...
        QTest::addColumn<Ints>("sequences");          // as they arrive
        QTest::addColumn<Ints>("earliestMs");         // after the first send, if given
        const QByteArrayList pings{"Ping", "Ping", "Ping", "Ping", "Ping", "Ping"};
        QTest::newRow("drop counts every reply")
            << QStringList{"--drop-every", "2"} << QByteArrayList{"Ping", "Check", "Start", "Check"}
            << Ints{1, 3} << Ints();
        QTest::newRow("duplicate every 2nd") << QStringList{"--duplicate-every", "2"} << pings
                                             << Ints{1, 2, 2, 3, 4, 4, 5, 6, 6} << Ints();
        QTest::newRow("wrong sequence every 2nd")
            << QStringList{"--wrong-seq-every", "2"} << pings << Ints{1, 3, 3, 5, 5, 7} << Ints();
        // Every reply waits the delay; erasing holds Start alone, pings are answered meanwhile.
        QTest::newRow("delay and erase add up")
            << QStringList{"--delay-ms", "150", "--erase-ms", "300"}
            << QByteArrayList{"Start", "Ping", "Check"} << Ints{2, 3, 1} << Ints{150, 150, 450};
        QTest::newRow("silent from the start silences only ping")
            << QStringList{"--silent-after-ms", "0"} << QByteArrayList{"Ping", "Check"} << Ints{2}
            << Ints();
    }
    void replyTiming()
    {
        QFETCH(QStringList, options);
        QFETCH(QByteArrayList, commands);
        QFETCH(Ints, sequences);
        QFETCH(Ints, earliestMs);
        QVERIFY(startSim(options));
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < commands.size(); ++i)
            send(quint8(i + 1), {commands.at(i)});
        Ints arrived; // 0 for a reply that did not come
        for (int i = 0; i < sequences.size(); ++i) {
            arrived << nextReply().mid(ReplySequenceOffset, 1).toHex().toInt(nullptr, 16);
            QVERIFY(clock.elapsed() >= earliestMs.value(i));
        }
        QCOMPARE(arrived, sequences);
        QVERIFY(staysQuiet());
    }

    void verboseLog()
    {
        QVERIFY(startSim({"--verbose", "--drop-every", "2"}));
        QCOMPARE(
            play({{"Ping", KeepAlive}, {"StartApplication"}, {"", Raw, "\x03\x01"}, {"Check"}}, 8),
            QString());
        QVERIFY(staysQuiet());
        const QStringList wanted = {
            "<- request Ping seq=9 len=7",
            "-> Ping seq=9 len=4 status=0x73 rtt=\\d+\\.\\d+ ms",
            "<- request StartApplication seq=10 len=19 \\(unanswered\\)",
            "<- bad datagram len=2 ignored: too short",
            "<- request Check seq=12 len=8",
            "-x Check seq=12 status=0x03 dropped after \\d+\\.\\d+ ms",
        };
        QVERIFY(m_sim->stop());
        const QString err = m_sim->process().readAllStandardError();
        QVERIFY2(QRegularExpression('^' + wanted.join('\n') + '\n').match(err).hasMatch(),
                 qPrintable(err));
    }

    void badArguments_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("mention"); // in the message that comes with exit status 2
        QTest::newRow("unknown option") << QStringList{"--colour"} << "colour";
        QTest::newRow("port above 65535") << QStringList{"--port", "65536"} << "65536";
        QTest::newRow("bind to every IPv4 interface")
            << QStringList{"--bind", "0.0.0.0"} << "loopback";
    }
    void badArguments()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, mention);
        // --port 0 comes first: should an option be wrongly accepted, no fixed port is taken.
        QVERIFY(!startSim(options));
        QProcess &sim = m_sim->process();
        sim.waitForFinished(5000); // already over, unless it wrongly started to listen
        QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.exitCode(), 2);
        QVERIFY(QString(sim.readAllStandardError()).contains(mention));
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
