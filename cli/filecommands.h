#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The commands and checks that work on files alone. Each returns an exit status
// (Output::ExitCode) and says what went wrong on stderr.

int postBuild(const QString &input, const QString &output, bool quiet);

// Size, stored and computed checksum, fill and verdict of each image.
int inspect(const QStringList &images, bool json);
