#include "core/firmwarefile.h"

#include "core/firmwareimage.h"

#include <QFile>
#include <QFileInfo>

bool hasFirmwareFileSuffix(const QString &name)
{
    const QLatin1String suffix(".bin");
    const int at = name.lastIndexOf(suffix, -1, Qt::CaseSensitive);
    return at > 0 && at == name.size() - suffix.size();
}

FileNameCheck checkFirmwareFileName(const QString &name)
{
    if (!hasFirmwareFileSuffix(name))
        return FileNameCheck::NotSelected;
    // Only a regular file (or a link to one) is firmware: opening a FIFO blocks until a writer
    // comes, a device node may never end, and a folder "exists" too.
    if (!QFileInfo(name).isFile())
        return FileNameCheck::NotFound;
    return FileNameCheck::Passed;
}

namespace {

enum class ReadStatus { Read, NotOpened, ReadFailed };

ReadStatus readFile(const QString &name, int limit, QByteArray *bytes, QString *error)
{
    QFile file(name);
    if (!QFileInfo(name).isFile()) {
        *error = QStringLiteral("not a regular file");
        return ReadStatus::NotOpened;
    }
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        *error = file.errorString();
        return ReadStatus::NotOpened;
    }
    // QIODevice::read() into a QByteArray cannot tell a failed read from an empty file.
    bytes->resize(limit + 1);
    qint64 got = 0;
    for (qint64 n = 1; n > 0 && got < bytes->size(); got += n) {
        n = file.read(bytes->data() + got, bytes->size() - got);
        if (n < 0) {
            *error = file.errorString();
            bytes->clear();
            return ReadStatus::ReadFailed;
        }
    }
    bytes->truncate(int(got));
    return ReadStatus::Read;
}

} // namespace

std::optional<QByteArray> readRegularFile(const QString &name, int limit, QString *error)
{
    QByteArray bytes;
    QString reason;
    if (readFile(name, limit, &bytes, &reason) == ReadStatus::Read)
        return bytes;
    if (error)
        *error = reason;
    return std::nullopt;
}

ImageRead readUploadImage(const QString &name, QByteArray *image, QString *readError)
{
    image->clear();
    QByteArray content;
    QString error;
    const ReadStatus status = readFile(name, FirmwareImageSize, &content, &error);
    if (status != ReadStatus::Read && readError)
        *readError = error;
    // A file that opened and then failed part-way was meant to be read: its size is wrong.
    if (status == ReadStatus::ReadFailed)
        return ImageRead::WrongSize;
    if (status == ReadStatus::NotOpened)
        return ImageRead::NotOpened;
    // Both too short and too long: only a whole image, read whole, is ever uploaded.
    if (content.size() != FirmwareImageSize)
        return ImageRead::WrongSize;
    *image = std::move(content);
    return ImageRead::Loaded;
}
