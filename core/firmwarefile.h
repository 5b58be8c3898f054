#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Operator messages about the firmware file, exactly as the operator sees them.
namespace FirmwareMessages {
inline const char SelectFile[] = "Please select the firmware file";
inline const char NotFound[] = "File is not found!";
inline const char WrongSize[] = "firmware file size is not correct";
inline const char TooBig[] = "firmware file is very big!";
inline const char NotWritten[] = "target.bin could not be written";
} // namespace FirmwareMessages

enum class FileNameCheck {
    Passed,
    NotSelected, // empty, or not ending in ".bin" with something before it
    NotFound,
};

// Something before a lower-case ".bin" at the very end.
bool hasFirmwareFileSuffix(const QString &name);

// The name checks shared by upload and post-build, in order. The name is taken untouched:
// not trimmed, and ".bin" must be lower case.
FileNameCheck checkFirmwareFileName(const QString &name);

// Reads at most `limit` + 1 bytes of a regular file (one byte more tells a file that is too
// big); nullopt when `name` is not a regular file, cannot be opened, or a read fails part-way
// (an I/O error is not the end of a short file). `error`, if given, gets the system's reason
// for a file that could not be opened or read.
std::optional<QByteArray> readRegularFile(const QString &name, int limit, QString *error = nullptr);

enum class ImageRead {
    Loaded,
    NotOpened, // silent, like every file that cannot be opened
    WrongSize, // also a read that failed part-way: whatever came is not the image
};

// Reads an image for upload. Only a regular file of exactly the image size that also reads
// back whole is accepted, so an upload never starts from a partial read. `readError`, if
// given, gets the system's reason when the file could not be opened or read.
ImageRead readUploadImage(const QString &name, QByteArray *image, QString *readError = nullptr);
