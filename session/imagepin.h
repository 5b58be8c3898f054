#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// An image pinned by its SHA-256, the fingerprint a release names; the CRC stored in an image
// only says that the image is whole, not which build it is.
namespace ImagePin {

// 64 lower-case hexadecimal digits.
QString sha256(const QByteArray &bytes);
// A pin as given: 64 hexadecimal digits, either case; nullopt for anything else.
std::optional<QString> parse(const QString &text);
// What a pin must be, for SessionLimits::refusal().
QString wants();
// Exit status 0 when nothing is pinned or `image` is the pinned one; otherwise says both
// fingerprints on stderr and returns 2: nothing may be sent.
int refuseOther(const QString &file, const QByteArray &image, const QString &expected);

} // namespace ImagePin
