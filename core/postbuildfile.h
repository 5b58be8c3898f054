#pragma once

#include <QByteArray>
#include <QString>

enum class PostBuildResult {
    Written,
    InputNotOpened,  // not a regular file, it cannot be opened, or a read fails part-way
    OutputNotOpened, // not a regular file, or it cannot be opened; it stays as it was
    InputTooBig,
    WriteFailed, // the earlier output stays as it was
};

// In a folder that is not writable, an existing writable output can only be written in place,
// and a write cut short there (a full disk, a file-size limit) destroys the earlier file: the
// window does it, as it always did; the command line refuses.
enum class InPlaceWrite { Allowed, Refused };

// Reads `inputPath` whole, builds its image and replaces `outputPath` atomically. The output
// is replaced only by a complete image, so a rejected input or a failed write (full disk,
// quota) leaves an earlier file byte for byte, and naming the output as its own input
// cannot destroy it. In a read-only folder an existing writable output is written in place
// where allowed. Checks on the name are the caller's. `reason`, if given, says why the input
// could not be read or the output could not be opened or written.
PostBuildResult runPostBuild(const QString &inputPath, const QString &outputPath,
                             QString *reason = nullptr,
                             InPlaceWrite inPlace = InPlaceWrite::Allowed);

// Writes `data` to `path` through a temporary file that replaces `path` only when every
// byte reached the disk.
bool writeFileAtomically(const QString &path, const QByteArray &data);
