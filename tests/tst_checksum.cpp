#include "core/crc32.h"

#include <QTest>

// Known answers of the device's checksum variant; a table-driven or reflected CRC-32 fails them.
class ChecksumTest : public QObject
{
    Q_OBJECT
private slots:
    void knownAnswers_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<quint32>("expected");
        QTest::newRow("empty gives 0") << QByteArray() << quint32(0x00000000);
        QTest::newRow("digits 1-9 (not the reflected 0xCBF43926)")
            << QByteArray("123456789") << quint32(0xFC4F2BE9);
        QTest::newRow("abc") << QByteArray("abc") << quint32(0xFAD63FD4);
        QTest::newRow("single 0x00") << QByteArray(1, '\0') << quint32(0xFA60FB57);
        QTest::newRow("single 0xFF") << QByteArray(1, char(0xFF)) << quint32(0xFF000000);
        QTest::newRow("image body of 0xFF")
            << QByteArray(917500, char(0xFF)) << quint32(0xF90B910E);
    }
    void knownAnswers()
    {
        QFETCH(QByteArray, input);
        QFETCH(quint32, expected);
        QCOMPARE(crc32Compute(input.constData(), input.size()), expected);
        QCOMPARE(crc32Update(0, input.constData(), input.size()), expected);
    }

    void chainsAcrossPieces_data()
    {
        QTest::addColumn<int>("split");
        QTest::newRow("1234 then 56789") << 4;
        QTest::newRow("nothing then all") << 0;
        QTest::newRow("all then nothing") << 9;
    }
    void chainsAcrossPieces()
    {
        QFETCH(int, split);
        const QByteArray digits("123456789");
        const quint32 head = crc32Compute(digits.constData(), split);
        QCOMPARE(crc32Update(head, digits.constData() + split, digits.size() - split),
                 quint32(0xFC4F2BE9));
    }

    void emptyUpdateKeepsPrevious()
    {
        QCOMPARE(crc32Update(0xFFFFFFFF, "", 0), quint32(0xFFFFFFFF));
        QCOMPARE(crc32Update(0x12345678, nullptr, 0), quint32(0x12345678));
    }
};

QTEST_APPLESS_MAIN(ChecksumTest)
#include "tst_checksum.moc"
