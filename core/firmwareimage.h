#pragma once

#include <QByteArray>
#include <QString>

// 917504: the only size an upload accepts. Only the fuzz build shrinks it, so that an input
// costs microseconds instead of milliseconds and fuzzing gets past the first few thousand.
#ifdef BOOTLOADER_FUZZ_IMAGE_SIZE
constexpr int FirmwareImageSize = BOOTLOADER_FUZZ_IMAGE_SIZE;
#else
constexpr int FirmwareImageSize = 0xE0000;
#endif
constexpr int ChecksumSize = 4;
constexpr int FirmwareBodySize = FirmwareImageSize - ChecksumSize;
constexpr int WriteBlockSize = 512;
constexpr char ImagePadByte = char(0xFF);

// The uploadable image of a raw build output of at most FirmwareBodySize bytes: the bytes,
// 0xFF up to FirmwareBodySize, then the checksum of that body, most significant byte first.
QByteArray buildFirmwareImage(const QByteArray &raw);

// Whether `image` is a complete image whose last four bytes are its body's checksum.
bool isValidFirmwareImage(const QByteArray &image);

// What a device would make of an image, told before it erases its flash for it.
struct ImageInspection
{
    enum class Verdict { Valid, WrongSize, ChecksumMismatch };
    Verdict verdict = Verdict::WrongSize;
    qint64 size = 0;
    // The rest only for an image of the right size.
    quint32 storedChecksum = 0;   // the last four bytes, most significant first
    quint32 computedChecksum = 0; // over the body
    int fillBytes = 0;            // 0xFF bytes that end the body
};
ImageInspection inspectImage(const QByteArray &image);

enum class PostBuildResult {
    Written,
    InputNotOpened,  // not a regular file, it cannot be opened, or a read fails part-way
    OutputNotOpened, // not a regular file, or it cannot be opened; it stays as it was
    InputTooBig,
    WriteFailed, // the earlier output stays as it was
};

// Reads `inputPath` whole, builds its image and replaces `outputPath` atomically. The output
// is replaced only by a complete image, so a rejected input or a failed write (full disk,
// quota) leaves an earlier file byte for byte, and naming the output as its own input
// cannot destroy it. In a read-only folder an existing writable output is written in place.
// Checks on the name are the caller's. `reason`, if given, says why the input could not be
// read or the output could not be opened or written.
PostBuildResult runPostBuild(const QString &inputPath, const QString &outputPath,
                             QString *reason = nullptr);

// Writes `data` to `path` through a temporary file that replaces `path` only when every
// byte reached the disk.
bool writeFileAtomically(const QString &path, const QByteArray &data);
