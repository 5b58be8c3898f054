#include "station/journaltail.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The tail of a regular file, whole lines only; empty for anything else.
QByteArray readTail(const QString &path, qint64 tailBytes)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return {};
    QByteArray tail;
    struct stat status = {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        const qint64 from = qMax<qint64>(0, status.st_size - tailBytes);
        tail.resize(int(status.st_size - from));
        const ssize_t got = ::pread(fd, tail.data(), size_t(tail.size()), off_t(from));
        tail.truncate(got > 0 ? int(got) : 0);
        if (from > 0) // the first line is likely cut
            tail.remove(0, tail.indexOf('\n') + 1);
    }
    ::close(fd);
    return tail;
}

} // namespace

QHash<QString, int> lastBoardNumbers(const QString &journal, const QString &station,
                                     qint64 tailBytes)
{
    QHash<QString, int> last;
    for (const QByteArray &line : readTail(journal, tailBytes).split('\n')) {
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        // Records written before stations had names count for any station.
        const QJsonValue name = record.value(QLatin1String("station"));
        if (record.value(QLatin1String("event")) != QLatin1String("board") ||
            (!name.isUndefined() && name.toString() != station))
            continue;
        const QString slot = record.value(QLatin1String("slot")).toString();
        const int board = record.value(QLatin1String("board")).toInt();
        if (!slot.isEmpty() && board > 0)
            last[slot] = qMax(last.value(slot), board);
    }
    return last;
}
