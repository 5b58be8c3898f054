#pragma once

#include <QByteArray>
#include <QString>

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

// The name checks shared by upload and post-build, in order. The name is taken untouched:
// not trimmed, and ".bin" must be lower case.
FileNameCheck checkFirmwareFileName(const QString &name);

enum class ImageRead {
    Loaded,
    NotOpened, // silent, like every file that cannot be opened
    WrongSize,
};

// Opens and reads an image for upload. Only a file of exactly the image size that also reads
// back whole is accepted, so an upload never starts from a partial read.
ImageRead readUploadImage(const QString &name, QByteArray *image);
