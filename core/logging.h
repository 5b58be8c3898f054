#pragma once

#include <QLoggingCategory>
#include <QString>

// What the programs can tell about their work, off unless switched on, for instance with
// QT_LOGGING_RULES="bootloader.*=true":
//   bootloader.link   each datagram out and in: type, sequence, name, length, round trip
//   bootloader.flash  operation stages and verdicts
//   bootloader.file   post-builds and firmware file checks
Q_DECLARE_LOGGING_CATEGORY(lcLink)
Q_DECLARE_LOGGING_CATEGORY(lcFlash)
Q_DECLARE_LOGGING_CATEGORY(lcFile)

namespace Logging {

// Timestamps on every line unless QT_MESSAGE_PATTERN says otherwise.
void useTimestamps();

// Switches every bootloader category on, from inside the program (--verbose, --log-file).
void enableAll();

// "in reply len=4 seq=12 status=0xac after 130 us": a reply as the log shows it.
QString describeReply(const char *data, qint64 length, qint64 roundTripUs);

// "request Write seq=12 len=520": a command datagram as the log shows it.
QString describeCommand(const char *data, qint64 length);

} // namespace Logging
