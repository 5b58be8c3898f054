#include "core/datagram.h"

#include <QTest>

using Datagram::ReplyKind;
Q_DECLARE_METATYPE(ReplyKind)

// Datagrams byte for byte and replies as the tool reads them, without a window.
class DatagramTest : public QObject
{
    Q_OBJECT
private slots:
    void layout_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("sequence");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("first Ping") << 3 << 1 << QByteArray("Ping") << QByteArray()
                                    << QByteArray::fromHex("03010450696E67");
        QTest::newRow("End notice, sequence 0x2A") << 1 << 0x2A << QByteArray("End") << QByteArray()
                                                   << QByteArray::fromHex("012A03456E64");
        QTest::newRow("StartApplication notice")
            << 1 << 7 << QByteArray("StartApplication") << QByteArray()
            << QByteArray::fromHex("010710") + QByteArray("StartApplication");
        QTest::newRow("Write with 3 payload bytes")
            << 3 << 255 << QByteArray("Write") << QByteArray::fromHex("00FF10")
            << QByteArray::fromHex("03FF05") + QByteArray("Write") + QByteArray::fromHex("00FF10");
    }
    void layout()
    {
        QFETCH(int, type);
        QFETCH(int, sequence);
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, expected);
        QCOMPARE(Datagram::command(quint8(type), quint8(sequence), name.constData(), payload),
                 expected);
    }

    void fullWriteIs520Bytes()
    {
        const QByteArray block(512, char(0xA5));
        const QByteArray datagram = Datagram::command(CmdRequest, 9, "Write", block);
        QCOMPARE(datagram.size(), 520);
        QCOMPARE(datagram.mid(8), block);
    }

    void oversizedCommandIsRefusedNotCut()
    {
        char buffer[DatagramBufferSize] = {};
        const QByteArray payload(DatagramBufferSize, 'x');
        QCOMPARE(Datagram::buildCommand(buffer, CmdRequest, 1, "Write", payload.constData(),
                                        payload.size()),
                 -1);
    }

    void sequenceAdvance_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::newRow("0 to 1 at start") << 0 << 1;
        QTest::newRow("1 to 2") << 1 << 2;
        QTest::newRow("254 to 255") << 254 << 255;
        QTest::newRow("255 wraps to 1, never 0") << 255 << 1;
    }
    void sequenceAdvance()
    {
        QFETCH(int, from);
        QFETCH(int, to);
        QCOMPARE(int(Datagram::nextSequence(quint8(from))), to);
    }

    void classify_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("expectedSequence");
        QTest::addColumn<ReplyKind>("kind");
        QTest::newRow("empty") << QByteArray() << 5 << ReplyKind::Nothing;
        QTest::newRow("1 byte reads as sequence 0: mismatch")
            << QByteArray::fromHex("05") << 5 << ReplyKind::SequenceMismatch;
        QTest::newRow("2 bytes, matching sequence, status 0: failure")
            << QByteArray::fromHex("0005") << 5 << ReplyKind::Failure;
        QTest::newRow("3 bytes, matching sequence, status 0: failure")
            << QByteArray::fromHex("000500") << 5 << ReplyKind::Failure;
        QTest::newRow("keep-alive with a foreign sequence")
            << QByteArray::fromHex("00EE0073") << 5 << ReplyKind::KeepAlive;
        QTest::newRow("keep-alive with sequence 0")
            << QByteArray::fromHex("00000073") << 5 << ReplyKind::KeepAlive;
        QTest::newRow("matching 0xAC, other bytes ignored")
            << QByteArray::fromHex("FF05FFACFFFF") << 5 << ReplyKind::Success;
        QTest::newRow("matching, other status")
            << QByteArray::fromHex("000500AB") << 5 << ReplyKind::Failure;
        QTest::newRow("0xAC with the wrong sequence")
            << QByteArray::fromHex("000400AC") << 5 << ReplyKind::SequenceMismatch;
    }
    void classify()
    {
        QFETCH(QByteArray, reply);
        QFETCH(int, expectedSequence);
        QFETCH(ReplyKind, kind);
        QCOMPARE(Datagram::classifyReply(reply.constData(), reply.size(), quint8(expectedSequence)),
                 kind);
    }

    void parse_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<int>("payloadSize");
        QTest::newRow("too short") << QByteArray::fromHex("0301") << false << QByteArray() << 0;
        QTest::newRow("name past the end")
            << QByteArray::fromHex("030105") + QByteArray("Ping") << false << QByteArray() << 0;
        QTest::newRow("empty name") << QByteArray::fromHex("030100") << true << QByteArray() << 0;
        QTest::newRow("Ping") << QByteArray::fromHex("03010450696E67") << true << QByteArray("Ping")
                              << 0;
        QTest::newRow("Write with payload")
            << Datagram::command(CmdRequest, 3, "Write", QByteArray(512, 'a')) << true
            << QByteArray("Write") << 512;
    }
    void parse()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, valid);
        const auto parsed = Datagram::parseCommand(bytes.constData(), bytes.size());
        QCOMPARE(parsed.has_value(), valid);
        if (valid) {
            QTEST(parsed->name, "name");
            QTEST(parsed->payload.size(), "payloadSize");
        }
    }
};

QTEST_APPLESS_MAIN(DatagramTest)
#include "tst_datagram.moc"
