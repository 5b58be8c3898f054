#pragma once

#include <QHash>
#include <QString>

// The last board number of each slot in a journal, so that a station started again goes on
// counting where it stopped. Reads at most the journal's last `tailBytes` (a journal grows for
// months); a line cut by that bound, a broken line and another station's records are passed
// over. A journal that cannot be read holds no numbers.
QHash<QString, int> lastBoardNumbers(const QString &journal, const QString &station,
                                     qint64 tailBytes = 4 * 1024 * 1024);
