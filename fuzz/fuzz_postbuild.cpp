// Post-build and the file checks on arbitrary build outputs.
//
// Input: byte 0 chooses the size and the checks, the rest are the bytes. With bit 7 clear the
// build output is the rest as it is; with bit 7 set it is the rest repeated to
// 917488 + (byte 0 & 0x1F) bytes, so both size limits (917500 and 917504) are reached from
// short inputs. Bit 6 set leaves out post-build and its three checksums of a whole image, so
// the cheap name and read checks get many more runs.
#include "fuzzcheck.h"

#include "core/crc32.h"
#include "core/firmwarefile.h"
#include "core/firmwareimage.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

constexpr int NearLimitBase = FirmwareBodySize - 12;
const QByteArray PreviousOutput("an earlier target.bin");

// Made once per process, inside TMPDIR when it is set; removed at exit.
std::string tempDir;
QString inputPath;
QString outputPath;

void removeTempFiles()
{
    ::unlink((tempDir + "/input.bin").c_str());
    ::unlink((tempDir + "/target.bin").c_str());
    ::rmdir(tempDir.c_str());
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(bytes) == bytes.size());
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

QByteArray buildOutput(const uint8_t *data, size_t size)
{
    const QByteArray rest(reinterpret_cast<const char *>(data + 1), int(size - 1));
    if (!(data[0] & 0x80))
        return rest;
    const int length = NearLimitBase + (data[0] & 0x1F);
    if (rest.isEmpty())
        return QByteArray(length, char(data[0]));
    return rest.repeated(length / rest.size() + 1).left(length);
}

// The name rules on a name taken from the input, relative to the working directory.
void checkName(const QByteArray &bytes)
{
    const QString name = QString::fromLatin1(bytes.left(16));
    const FileNameCheck check = checkFirmwareFileName(name);
    const bool binName = name.size() > 4 && name.endsWith(QLatin1String(".bin"));
    if (!binName)
        FUZZ_CHECK(check == FileNameCheck::NotSelected);
    else
        FUZZ_CHECK(check ==
                   (QFileInfo::exists(name) ? FileNameCheck::Passed : FileNameCheck::NotFound));
}

void checkChaining(const QByteArray &bytes, quint8 splitByte)
{
    const int split = splitByte % (bytes.size() + 1);
    const quint32 head = crc32Compute(bytes.constData(), split);
    FUZZ_CHECK(crc32Update(head, bytes.constData() + split, bytes.size() - split) ==
               crc32Compute(bytes.constData(), bytes.size()));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/postbuild-fuzz-XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    tempDir = pattern;
    inputPath = QString::fromStdString(tempDir + "/input.bin");
    outputPath = QString::fromStdString(tempDir + "/target.bin");
    std::atexit(removeTempFiles);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray raw = buildOutput(data, size);
    checkName(raw);
    checkChaining(raw.left(4096), data[0]);

    writeFile(inputPath, raw);
    writeFile(outputPath, PreviousOutput);
    FUZZ_CHECK(checkFirmwareFileName(inputPath) == FileNameCheck::Passed);

    QByteArray loaded("stale");
    const ImageRead read = readUploadImage(inputPath, &loaded);
    if (raw.size() == FirmwareImageSize)
        FUZZ_CHECK(read == ImageRead::Loaded && loaded == raw);
    else
        FUZZ_CHECK(read == ImageRead::WrongSize && loaded.isEmpty());

    if (data[0] & 0x40)
        return 0;
    const PostBuildResult result = runPostBuild(inputPath, outputPath);
    if (raw.size() > FirmwareBodySize) {
        FUZZ_CHECK(result == PostBuildResult::InputTooBig);
        FUZZ_CHECK(readFile(outputPath) == PreviousOutput);
        return 0;
    }
    FUZZ_CHECK(result == PostBuildResult::Written);
    const QByteArray output = readFile(outputPath);
    FUZZ_CHECK(output.size() == FirmwareImageSize);
    FUZZ_CHECK(output == buildFirmwareImage(raw));
    // The build output first, then padding up to the checksum.
    FUZZ_CHECK(output.startsWith(raw));
    const int padding = FirmwareBodySize - raw.size();
    FUZZ_CHECK(output.mid(raw.size(), padding) == QByteArray(padding, ImagePadByte));
    FUZZ_CHECK(isValidFirmwareImage(output));
    FUZZ_CHECK(readUploadImage(outputPath, &loaded) == ImageRead::Loaded && loaded == output);
    return 0;
}
