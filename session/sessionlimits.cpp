#include "session/sessionlimits.h"

#include "core/commandline.h"
#include "core/quotedinput.h"

namespace SessionLimits {

std::optional<int> parseSecondsMs(const QString &text)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !(seconds > 0) || seconds > LongestSeconds)
        return std::nullopt;
    return qMax(1, qRound(seconds * 1000));
}

QString refusal(const Value &value, const QString &wants)
{
    return QStringLiteral("%1 wants %2, not %3").arg(value.where, wants, quotedInput(value.text));
}

bool checkSessionValues(const std::optional<Value> &timeout, const std::optional<Value> &retries,
                        const std::optional<Value> &retryAfter, DeviceSession::Settings *session,
                        QString *error)
{
    if (timeout) {
        const std::optional<int> ms = parseSecondsMs(timeout->text);
        if (!ms) {
            *error = refusal(*timeout, QStringLiteral("a number of seconds above 0"));
            return false;
        }
        session->replyTimeoutMs = *ms;
    }
    if (retries) {
        const std::optional<int> n = CommandLine::parseDecimal(retries->text, 0, MostRetries);
        if (!n) {
            *error =
                refusal(*retries, QStringLiteral("a whole number from 0 to %1").arg(MostRetries));
            return false;
        }
        session->retries = *n;
    }
    if (retryAfter) {
        const std::optional<int> ms =
            CommandLine::parseDecimal(retryAfter->text, 1, int(LongestSeconds * 1000));
        if (!ms) {
            *error = refusal(*retryAfter, QStringLiteral("a number of ms above 0"));
            return false;
        }
        session->retryAfterMs = *ms;
    }
    return true;
}

} // namespace SessionLimits
