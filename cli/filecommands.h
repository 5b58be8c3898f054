#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The commands and checks that work on files alone. Each returns an exit status
// (Output::ExitCode) and says what went wrong on stderr.

int postBuild(const QString &input, const QString &output, bool quiet);

// Size, stored and computed checksum, fill and verdict of each image.
int inspect(const QStringList &images, bool json);

// Reads an image for upload. Unless `force`, an image whose checksum does not match is refused
// here: "Start" erases the device, which would then refuse the image.
int loadUploadImage(const QString &name, bool force, QByteArray *image);

// "0x1234ABCD": a checksum as inspect and the station's journal show it.
QString checksumText(quint32 checksum);
