#include "core/conversation.h"
#include "core/crc32.h"
#include "core/datagram.h"
#include "core/deviceendpoint.h"
#include "core/firmwarefile.h"
#include "core/firmwareimage.h"
#include "core/flashprocedure.h"
#include "core/postbuildfile.h"
#include "tests/support/testfiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>

using Conversation::Reply;
using FlashProcedure::Action;
Q_DECLARE_METATYPE(Reply)
Q_DECLARE_METATYPE(FileNameCheck)
Q_DECLARE_METATYPE(ImageRead)
Q_DECLARE_METATYPE(PostBuildResult)

namespace {
constexpr int Full = FirmwareImageSize, Block = WriteBlockSize;
enum Setup { Plain, OwnInput, OutputFolder, SizeLimit, ReadOnlyFolder, ReadOnlyLimited };

// A reply in a stage, with `offset` of `size` bytes sent: what follows and what is shown.
struct FlashRow
{
    UploadStage stage;
    bool success;
    int offset, size;
    Action action;
    UploadStage next;
    const char *verdict; // as the operator reads it
    int percent = -1;    // the progress shown; -1: none (rounded down, 100 only at the end)
    int block = 0;       // the next Write's length
};
} // namespace
Q_DECLARE_METATYPE(FlashRow)

// The core's rules, one table each, without sockets or widgets: datagrams byte for byte, replies
// as the tool reads them, the flash procedure, addresses and senders, the image checksum, which
// files are firmware, and what the post-build writes or leaves alone.
class CoreTest : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void layout_data() // requests with sequence 1
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<int>("payloadSize"); // bytes of 0xA5
        QTest::addColumn<QByteArray>("head"); // then the payload; empty: refused, never cut
        const QByteArray write("\3\1\5Write"), name255(255, 'n');
        QTest::newRow("Ping") << QByteArray("Ping") << 0 << QByteArray::fromHex("03010450696E67");
        QTest::newRow("a whole block: 520 bytes") << QByteArray("Write") << 512 << write;
        QTest::newRow("filling 1024 bytes") << QByteArray("Write") << 1016 << write;
        QTest::newRow("one byte more") << QByteArray("Write") << 1017 << QByteArray();
        QTest::newRow("name of 255") << name255 << 0 << "\3\1\xFF" + name255;
        QTest::newRow("name of 256: its length byte would wrap")
            << name255 + 'n' << 0 << QByteArray();
    }
    void layout()
    {
        QFETCH(QByteArray, name);
        QFETCH(int, payloadSize);
        QFETCH(QByteArray, head);
        const QByteArray payload(payloadSize, char(0xA5));
        const QByteArray datagram = Datagram::command(CmdRequest, 1, name.constData(), payload);
        QCOMPARE(datagram, head.isEmpty() ? QByteArray() : head + payload);
        const auto parsed = Datagram::parseCommand(datagram.constData(), datagram.size());
        QVERIFY(!parsed == head.isEmpty()); // as a device reads it back
        if (parsed) {
            QCOMPARE(parsed->name, name);
            QCOMPARE(parsed->payload, payload);
        }
        // Cut before the name length, or inside the name: refused.
        QVERIFY(!Datagram::parseCommand(datagram.constData(), qMin(2, datagram.size())));
        QVERIFY(head.isEmpty() || !Datagram::parseCommand(datagram.constData(), head.size() - 1));
    }

    void sequenceWrapsTo1NotTo0()
    {
        QCOMPARE(Datagram::nextSequence(0), quint8(1));
        QCOMPARE(Datagram::nextSequence(254), quint8(255));
        QCOMPARE(Datagram::nextSequence(255), quint8(1));
    }

    void flashStep_data()
    {
        QTest::addColumn<FlashRow>("row");
        const Action wait = Action::Wait, block = Action::SendBlock, finish = Action::Finish;
        const UploadStage idle = StageIdle, erase = StageErasing, write = StageWriting;
        const UploadStage check = StageChecking, end = StageFinishing;
        const char *none = "", *failed = "Uploaded with error :(";
        const auto row = [](const char *tag, const FlashRow &row) {
            QTest::newRow(tag) << row;
        };
        row("idle: a stray reply", {idle, true, 0, Full, wait, idle, none});
        row("erased, one-block image", {erase, true, 0, Block, block, write, none, -1, Block});
        row("erase refused", {erase, false, 0, Full, finish, idle, failed});
        row("17 blocks: 0 %", {write, true, 17 * Block, Full, block, write, none, 0, Block});
        row("18 blocks: 1 %", {write, true, 18 * Block, Full, block, write, none, 1, Block});
        row("last full block", {write, true, Full - Block, Full, block, write, none, 99, Block});
        row("one byte left", {write, true, Full - 1, Full, block, write, none, 99, 1});
        row("all written: End", {write, true, Full, Full, Action::SendEnd, end, none, 100});
        row("write refused", {write, false, Block, Full, finish, idle, failed});
        row("End acknowledged",
            {end, true, Full, Full, finish, idle, "Uploading has been completed successful!"});
        row("End refused", {end, false, Full, Full, finish, idle, failed});
        row("check passed", {check, true, 0, 0, finish, idle, "Checked successful!"});
        row("check failed", {check, false, 0, 0, finish, idle, "Application is wrong!"});
    }
    void flashStep()
    {
        QFETCH(FlashRow, row);
        const FlashProcedure::Step step =
            FlashProcedure::onReply(row.stage, row.success, quint32(row.offset), row.size);
        QCOMPARE(int(step.action), int(row.action));
        QCOMPARE(int(step.stage), int(row.next));
        QCOMPARE(FlashProcedure::verdictText(step.verdict), row.verdict);
        QCOMPARE(step.percent, row.percent);
        quint32 offset = quint32(row.offset);
        if (step.action != Action::SendBlock)
            return;
        QCOMPARE(FlashProcedure::takeBlock(&offset, row.size).length, row.block);
        QCOMPARE(offset, quint32(row.offset + row.block)); // past the block, where the next starts
    }

    // Request 26 outstanding: what a reply means, as the tool reads it.
    void reply_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("length");    // what was read; the bytes after it must not count
        QTest::addColumn<QString>("state"); // link up or down; "idle": nothing outstanding
        QTest::addColumn<Reply>("meaning");
        const auto row = [](const char *tag, const char *hex, const char *state, Reply meaning,
                            int length = -1) {
            const QByteArray reply = QByteArray::fromHex(hex);
            QTest::newRow(tag) << reply << (length < 0 ? reply.size() : length) << QString(state)
                               << meaning;
        };
        row("empty", "", "up", Reply::Ignored);
        row("1 byte reads as sequence 0: mismatch", "1A", "up", Reply::Mismatch);
        row("keep-alive with a foreign sequence", "00EE0073", "up", Reply::KeepAlive);
        row("matching 0xAC, other bytes ignored", "FF1AFFACFFFF", "up", Reply::Success);
        row("matching, other status", "001A00AB", "up", Reply::Failure);
        row("0xAC past the length reads as 0", "001A00AC", "up", Reply::Failure, 3);
        row("the previous request's sequence", "001900AC", "up", Reply::Mismatch);
        row("link down: even a keep-alive is stray", "001A0073", "down", Reply::Stray);
        row("a verdict while nothing is outstanding", "001A00AC", "up idle", Reply::Stray);
        row("retries: the previous request's: late duplicate", "001900AC", "up retries",
            Reply::Stale);
        row("retries: 40 requests back: late duplicate", "00F10003", "up retries", Reply::Stale);
        row("retries: a sequence not sent yet: late duplicate", "001B00AC", "up retries",
            Reply::Stale);
    }
    void reply()
    {
        QFETCH(QByteArray, reply);
        QFETCH(int, length);
        QFETCH(QString, state);
        const Conversation::Outstanding outstanding{state.startsWith("up") ? LinkUp : LinkDown,
                                                    !state.contains("idle"), 26,
                                                    state.contains("retries")};
        QTEST(Conversation::readReply(reply.constData(), length, outstanding), "meaning");
    }

    void typedText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("port");        // -1: refused
        QTest::addColumn<QString>("address"); // empty: refused
        QTest::newRow("0") << "0" << 0 << "";
        QTest::newRow("65535") << "65535" << 65535 << "";
        QTest::newRow("65536 would wrap to 0") << "65536" << -1 << "";
        QTest::newRow("-1") << "-1" << -1 << "";
        QTest::newRow("leading space, as QString::toInt takes it") << " 80" << 80 << "";
        QTest::newRow("plus sign, as QString::toInt takes it") << "+80" << 80 << "";
        QTest::newRow("three parts") << "127.0.1" << -1 << "";
        QTest::newRow("hex part") << "0x7f.0.0.1" << -1 << "";
        QTest::newRow("part above 255") << "127.0.0.256" << -1 << "";
        QTest::newRow("empty") << "" << -1 << "";
        QTest::newRow("IPv4") << "127.0.0.1" << -1 << "127.0.0.1";
        QTest::newRow("\"0\" parts") << "0.0.0.0" << -1 << "0.0.0.0";
        QTest::newRow("IPv6") << "::1" << -1 << "::1";
        QTest::newRow("IPv4-mapped IPv6") << "::ffff:127.0.0.1" << -1 << "::ffff:127.0.0.1";
    }
    void typedText() // the same text in the port field and in the address field
    {
        QFETCH(QString, text);
        QTEST(parsePortText(text), "port");
        const std::optional<QHostAddress> address = parseAddressText(text);
        QTEST(address ? address->toString() : QString(), "address");
    }

    // Only datagrams from the device's address and port count; IPv4-mapped is the same address.
    void sender()
    {
        const QHostAddress device("127.0.0.1"), mapped("::ffff:127.0.0.1");
        QVERIFY(sameEndpoint(device, 31120, mapped, 31120));
        QVERIFY(!sameEndpoint(device, 1, mapped, 2));
        QVERIFY(!sameEndpoint(device, 1, QHostAddress("127.0.0.2"), 1));
    }

    void initTestCase()
    {
        QVERIFY(m_dir.isValid() && QDir::setCurrent(m_dir.path()));
        std::signal(SIGXFSZ, SIG_IGN); // a write past the file size limit fails instead of killing
        QVERIFY(writeTestFile(".bin", "x") && writeTestFile("x.bin.txt", "x") &&
                writeTestFile("image.bin", QByteArray(FirmwareImageSize, 'i')) &&
                writeTestFile("long.bin", QByteArray(FirmwareImageSize + 1, 'i')));
        QVERIFY(QDir().mkdir("folder.bin") && QFile::link("image.bin", "link.bin") &&
                QFile::link("/dev/zero", "zero.bin"));
    }

    // The device's variant: a table-driven or reflected CRC-32 fails these.
    void checksum_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<quint32>("expected");
        QTest::newRow("empty gives 0") << QByteArray() << quint32(0x00000000);
        QTest::newRow("digits 1-9 (not the reflected 0xCBF43926)")
            << QByteArray("123456789") << quint32(0xFC4F2BE9);
        QTest::newRow("image body of 0xFF")
            << QByteArray(FirmwareBodySize, char(0xFF)) << quint32(0xF90B910E);
    }
    void checksum()
    {
        QFETCH(QByteArray, input);
        QTEST(crc32Compute(input.constData(), input.size()), "expected");
    }

    // The name checks, then the read an upload makes.
    void firmwareFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<FileNameCheck>("check");
        QTest::addColumn<ImageRead>("read");
        const FileNameCheck select = FileNameCheck::NotSelected, notFound = FileNameCheck::NotFound;
        const FileNameCheck passed = FileNameCheck::Passed;
        const ImageRead wrongSize = ImageRead::WrongSize, notOpened = ImageRead::NotOpened;
        QTest::newRow("empty") << "" << select << notOpened;
        QTest::newRow("\".bin\" alone") << ".bin" << select << wrongSize;
        QTest::newRow("\".bin\" not at the end") << "x.bin.txt" << select << wrongSize;
        QTest::newRow("missing") << "missing.bin" << notFound << notOpened;
        QTest::newRow("folder") << "folder.bin" << notFound << notOpened;
        QTest::newRow("link to /dev/zero: not read at all") << "zero.bin" << notFound << notOpened;
        QTest::newRow("link to an image") << "link.bin" << passed << ImageRead::Loaded;
        QTest::newRow("917504 bytes") << "image.bin" << passed << ImageRead::Loaded;
        QTest::newRow("917505 bytes") << "long.bin" << passed << wrongSize;
    }
    void firmwareFile()
    {
        QFETCH(QString, name);
        QFETCH(ImageRead, read);
        QTEST(checkFirmwareFileName(name), "check");
        QByteArray image("earlier");
        QCOMPARE(readUploadImage(name, &image), read);
        QVERIFY(image == (read == ImageRead::Loaded ? readTestFile(name) : QByteArray()));
    }

    void postBuild_data()
    {
        QTest::addColumn<int>("setup");
        QTest::addColumn<int>("inputSize");
        QTest::addColumn<PostBuildResult>("result");
        QTest::addColumn<QByteArray>("checksum"); // of the image written; empty: none written
        const int big = FirmwareBodySize + 1;
        const PostBuildResult tooBig = PostBuildResult::InputTooBig,
                              written = PostBuildResult::Written;
        const auto row = [](const char *tag, Setup setup, int size, PostBuildResult result,
                            const char *checksum = "") {
            QTest::newRow(tag) << int(setup) << size << result << QByteArray(checksum);
        };
        row("3 bytes, then fill", Plain, 3, written, "F8F37D0A");
        row("917500 bytes: no fill", Plain, FirmwareBodySize, written, "FA07AAC9");
        row("917501 bytes: too big", Plain, big, tooBig);
        row("the output as its own input", OwnInput, 0, tooBig);
        row("output is a folder", OutputFolder, 3, PostBuildResult::OutputNotOpened);
        row("write fails (file size limit)", SizeLimit, 3, PostBuildResult::WriteFailed);
        row("read-only folder: written in place", ReadOnlyFolder, 3, written, "F8F37D0A");
        row("read-only folder, big input: left alone", ReadOnlyFolder, big, tooBig);
        row("read-only folder, size limit, never in place (CLI): left alone", ReadOnlyLimited, 3,
            PostBuildResult::OutputNotOpened);
    }
    void postBuild()
    {
        QFETCH(int, setup);
        QFETCH(int, inputSize);
        QFETCH(QByteArray, checksum);
        QTemporaryDir dir(m_dir.filePath("run"));
        const QString input = dir.filePath("raw.bin"), output = dir.filePath("target.bin");
        QVERIFY(writeTestFile(input, QByteArray(inputSize, 'p')));
        const QByteArray earlier = buildFirmwareImage("earlier");
        QVERIFY(setup == OutputFolder ? QDir().mkdir(output) : writeTestFile(output, earlier));
        const QStringList entries = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden);
        const bool readOnly = setup == ReadOnlyFolder || setup == ReadOnlyLimited;
        if (readOnly)
            QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit limited{65536, saved.rlim_max}; // writes past 64 KiB fail, even as root
        QVERIFY((setup != SizeLimit && setup != ReadOnlyLimited) ||
                setrlimit(RLIMIT_FSIZE, &limited) == 0);
        PostBuildResult result{};
        const auto postBuild = [&] {
            result = runPostBuild(setup == OwnInput ? output : input, output, nullptr,
                                  setup == ReadOnlyLimited ? InPlaceWrite::Refused
                                                           : InPlaceWrite::Allowed);
        };
        if (!readOnly)
            postBuild();
        else // root (as in CI) writes into read-only folders: write as "nobody"
            QVERIFY(asUnprivileged({m_dir.path(), dir.path(), output}, [&] {
                QVERIFY(!writeTestFile(dir.filePath("probe"), "p"));
                postBuild();
            }));
        setrlimit(RLIMIT_FSIZE, &saved);
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QTEST(result, "result");
        // No temporary file left behind; a folder stays one, an earlier image stays as it was.
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden), entries);
        const QByteArray body =
            QByteArray(inputSize, 'p') + QByteArray(FirmwareBodySize - inputSize, '\xFF');
        const QByteArray image =
            checksum.isEmpty() ? earlier : body + QByteArray::fromHex(checksum);
        QVERIFY(setup == OutputFolder ? QFileInfo(output).isDir() : readTestFile(output) == image);
    }
};

QTEST_APPLESS_MAIN(CoreTest)
#include "tst_core.moc"
