#include "image/firmwarefile.h"

#include "image/firmwareimage.h"

#include <QFile>

FileNameCheck checkFirmwareFileName(const QString &name)
{
    if (name.isEmpty())
        return FileNameCheck::NotSelected;
    const QLatin1String suffix(".bin");
    const int at = name.lastIndexOf(suffix, -1, Qt::CaseSensitive);
    if (at <= 0 || at != name.size() - suffix.size())
        return FileNameCheck::NotSelected;
    if (!QFile::exists(name))
        return FileNameCheck::NotFound;
    return FileNameCheck::Passed;
}

ImageRead readUploadImage(const QString &name, QByteArray *image)
{
    image->clear();
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return ImageRead::NotOpened;
    if (file.size() != qint64(FirmwareImageSize))
        return ImageRead::WrongSize;
    QByteArray content = file.readAll();
    if (content.size() != FirmwareImageSize)
        return ImageRead::WrongSize;
    *image = std::move(content);
    return ImageRead::Loaded;
}
