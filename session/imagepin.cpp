#include "session/imagepin.h"

#include "posix/output.h"
#include "session/uploadimage.h"

#include <QCryptographicHash>
#include <QRegularExpression>

namespace ImagePin {

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

std::optional<QString> parse(const QString &text)
{
    static const QRegularExpression hex(QStringLiteral("\\A[0-9A-Fa-f]{64}\\z"));
    if (!hex.match(text).hasMatch())
        return std::nullopt;
    return text.toLower();
}

QString wants()
{
    return QStringLiteral("64 hexadecimal digits (a SHA-256)");
}

int refuseOther(const QString &file, const QByteArray &image, const QString &expected)
{
    const QString actual = sha256(image);
    if (expected.isEmpty() || actual == expected)
        return Output::ExitSucceeded;
    return FileMessages::fileError(
        file, QStringLiteral("SHA-256 %1, but %2 is pinned: not the image this line must carry; "
                             "nothing was sent")
                  .arg(actual, expected));
}

} // namespace ImagePin
