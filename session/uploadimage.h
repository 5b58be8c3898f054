#pragma once

#include "posix/output.h"

#include <QByteArray>
#include <QString>

// Reads an image for upload. Unless `force`, an image whose checksum does not match is refused
// here: "Start" erases the device, which would then refuse the image. Returns an exit status
// (Output::ExitCode) and says what went wrong on stderr.
int loadUploadImage(const QString &name, bool force, QByteArray *image);

// "0x1234ABCD": a checksum as inspect and the station's journal show it.
QString checksumText(quint32 checksum);

// Each fault of a file in one wording, whichever command meets it; the window keeps its own
// texts.
namespace FileMessages {
// Says "bootloader-cli: NAME: MESSAGE" on stderr; returns `exitCode`.
int fileError(const QString &name, const QString &message, int exitCode = Output::ExitUsage);
QString wrongSuffix();
QString notReadable(const QString &name, const QString &reason);
QString wrongSize(qint64 size);
} // namespace FileMessages
