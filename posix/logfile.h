#pragma once

#include <QString>

// --log-file: the bootloader categories' lines appended to a file instead of stderr.
namespace LogFile {

// Sends the bootloader categories' lines to `path` from now on; false with the reason when it
// cannot be opened or is not a regular file (or a new one).
bool open(const QString &path, QString *error);

// Why the log file stopped being written (a full disk, a file size limit); empty while every
// line reached it.
QString error();

} // namespace LogFile
