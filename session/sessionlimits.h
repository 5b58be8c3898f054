#pragma once

#include "session/devicesession.h"

#include <QString>
#include <optional>

// The limits of a session's timing, shared by the command line and a station's config file.
namespace SessionLimits {

constexpr double LongestSeconds = 24 * 60 * 60;
constexpr int MostRetries = 100;

// A value as it was given, with the name it is refused under: "--timeout", or
// "FILE:LINE: TIMEOUT".
struct Value
{
    QString text;
    QString where;
};

// A number of seconds above 0 and at most a day, in ms (at least 1).
std::optional<int> parseSecondsMs(const QString &text);

// "WHERE wants WANTS, not TEXT".
QString refusal(const Value &value, const QString &wants);

// --timeout, --retries and --retry-after (a config file's TIMEOUT, RETRIES, RETRY_AFTER) into
// `session`; one not given keeps its default. False with the refusal in `error`.
bool checkSessionValues(const std::optional<Value> &timeout, const std::optional<Value> &retries,
                        const std::optional<Value> &retryAfter, DeviceSession::Settings *session,
                        QString *error);

} // namespace SessionLimits
