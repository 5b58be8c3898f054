#include "core/datagram.h"
#include "core/firmwareimage.h"
#include "support/simprocess.h"
#include "support/testfiles.h"

#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>
#include <csignal>

// bootloader-sim as a separate process on loopback, judged by the replies a tool receives and
// the bytes it saves. Each exchange ends with a Ping whose keep-alive must be the next reply:
// loopback keeps the order, so a reply that is not due would come before it.
class SimulatorTest : public QObject
{
    Q_OBJECT
    QUdpSocket m_socket;
    QTemporaryDir m_dir;

    void send(const SimProcess &sim, const QByteArray &bytes)
    {
        QCOMPARE(m_socket.writeDatagram(bytes, QHostAddress::LocalHost, sim.port()),
                 qint64(bytes.size()));
    }
    // The next reply's sequence and status bytes in hex, "/" when none comes.
    QString nextReply()
    {
        if (!m_socket.hasPendingDatagrams() && !m_socket.waitForReadyRead(3000))
            return "/";
        const QByteArray reply = m_socket.receiveDatagram().data();
        return reply.mid(ReplySequenceOffset, 1).toHex() + '/' +
               reply.mid(ReplyStatusOffset, 1).toHex();
    }

private slots:
    void initTestCase() { QVERIFY(m_socket.bind(QHostAddress(QHostAddress::LocalHost), 0)); }

    void exchanges_data()
    {
        // "Name=ss": a request whose reply carries status ss; "Name": a request nothing answers;
        // "!Name": a notice; "#hex": bytes as is; "^": the last again; "=ss": another reply due.
        // Each Write carries the next block of the image (0x01 Write without Start, 0x02 past
        // 917504 bytes, 0x03 invalid image, 0x04 forced by --fail).
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QStringList>("script");
        const auto row = [](const char *tag, const QString &script,
                            const QStringList &options = {}) {
            QTest::newRow(tag) << options << script.split(' ');
        };
        row("write before start refused, after start kept; unknown names 0x05",
            "Write=01 Start=ac Write=ac Bogus=05");
        row("end notice abandons the upload", "Start=ac Write=ac !End Write=01 Check=03");
        row("no reply to start-application, notices or bad datagrams",
            "StartApplication !Ping !Start # #0301 #0301095069 #0701045069 Write=01");
        row("--drop-every counts every reply", "Ping=73 Check Start=ac Check",
            {"--drop-every", "2"});
        row("--duplicate-every 2", "Ping=73 Ping=73 =73", {"--duplicate-every", "2"});
        row("a repeat: answered again, done once", "Start=ac Write=ac ^=ac Write=ac ^=ac End=03");
        row("--fail refuses without effect", "Start=04 Write=01 Check=04",
            {"--fail", "Start", "--fail", "Check"});
        row("a byte past 917504 refused; no image without its checksum",
            "Start=ac " + QString("Write=ac ").repeated(FirmwareImageSize / 512) +
                "Write=02 End=03 Check=03 Write=01");
        row("--erase-ms holds back the reply to Start", "Start Ping=73", {"--erase-ms", "2000"});
        row("a repeat while Start is carried out: one answer, when done", "Start ^=ac",
            {"--delay-ms", "300"});
    }
    void exchanges()
    {
        QFETCH(QStringList, options);
        QFETCH(QStringList, script);
        const QByteArray image = QByteArray(FirmwareImageSize, 'b') + 'x'; // no checksum in it
        const QString saved = m_dir.filePath("saved.bin");
        QFile::remove(saved);
        SimProcess sim(QStringLiteral(BOOTLOADER_SIM_PATH), options + QStringList{"--save", saved});
        QVERIFY(sim.port());
        quint8 sequence = 252; // crosses 255 -> 0: the echo is a plain byte
        int offset = 0;
        QByteArray accepted, last; // what an End request saves; the datagram sent last
        for (const QString &step : script << "Ping=73") {
            const QByteArray name = step.section('=', 0, 0).toLatin1(),
                             status = step.section('=', 1).toLatin1();
            const QByteArray payload =
                name == "Write" ? image.mid(offset, WriteBlockSize) : QByteArray();
            const bool notice = name.startsWith('!');
            if (!name.isEmpty() && name != "^")
                last = name.startsWith('#')
                           ? QByteArray::fromHex(name.mid(1))
                           : Datagram::command(notice ? CmdNotice : CmdRequest, ++sequence,
                                               name.mid(notice).constData(), payload);
            if (!name.isEmpty())
                send(sim, last);
            if (!status.isEmpty())
                QCOMPARE(nextReply(), QByteArray(1, char(sequence)).toHex() + '/' + status);
            offset += payload.size();
            accepted += status == "ac" ? payload : QByteArray();
        }
        QVERIFY(sim.stop()); // SIGTERM: exit 0
        if (script.contains("End=ac") || script.contains("End=03"))
            QVERIFY(readTestFile(saved) == accepted); // QCOMPARE would print a megabyte
    }

    void sigintIgnoredFromTheStart() // as a background job of a non-interactive shell
    {
        SimProcess sim(QStringLiteral(BOOTLOADER_SIM_PATH), {}, {},
                       {"bash", "-c", "trap '' INT; exec \"$@\"", "sh"});
        QVERIFY(sim.port());
        QCOMPARE(::kill(pid_t(sim.process().processId()), SIGINT), 0);
        for (const char *sequence : {"07", "08"}) { // the second after a turn of its loop
            send(sim, Datagram::command(CmdRequest, quint8(QByteArray(sequence).toInt()), "Ping"));
            QCOMPARE(nextReply(), sequence + QString("/73"));
        }
        QVERIFY(sim.stop());
    }

    void badArguments() // exit status 2, saying why
    {
        for (const QStringList &options :
             {QStringList{"--colour"}, {"--bind", "0.0.0.0"}, {"--port", "65536"}}) {
            SimProcess sim(QStringLiteral(BOOTLOADER_SIM_PATH), options); // after --port 0
            QVERIFY(!sim.port());
            sim.process().waitForFinished(5000); // already over, unless it wrongly listens
            QCOMPARE(sim.process().exitCode(), 2);
            QVERIFY(QString(sim.process().readAllStandardError()).contains(options.last().mid(2)));
        }
    }
};

QTEST_GUILESS_MAIN(SimulatorTest)
#include "tst_simulator.moc"
