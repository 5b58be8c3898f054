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
