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

std::optional<QByteArray> readRegularFile(const QString &name, int limit)
{
    QFile file(name);
    if (!QFileInfo(name).isFile() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.read(qint64(limit) + 1);
}

ImageRead readUploadImage(const QString &name, QByteArray *image)
{
    image->clear();
    std::optional<QByteArray> content = readRegularFile(name, FirmwareImageSize);
    if (!content)
        return ImageRead::NotOpened;
    // Both too short and too long: only a whole image, read whole, is ever uploaded.
    if (content->size() != FirmwareImageSize)
        return ImageRead::WrongSize;
    *image = std::move(*content);
    return ImageRead::Loaded;
}
