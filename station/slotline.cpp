#include "station/slotline.h"

#include <QRegularExpression>

namespace {

const QLatin1String Cut("...");
const QLatin1String Gap("  ");

} // namespace

QString slotLine(const QString &label, const QString &state, int width)
{
    const QString full = label + Gap + state;
    if (full.size() <= width)
        return full;
    // "board 12  " "FAIL" ": detail" " (remove board)"
    static const QRegularExpression parts(
        QStringLiteral("\\A(board \\d+  )?([^:]*)(?:: (.*?))?( \\(remove board\\))?\\z"));
    const QRegularExpressionMatch match = parts.match(state);
    if (!match.hasMatch())
        return full.left(width);
    const QString board = match.captured(1), word = match.captured(2), detail = match.captured(3),
                  instruction = match.captured(4);
    const QString kept = label + Gap + board + word;
    const int room = width - int(kept.size() + instruction.size()) - 2; // ": "
    if (!detail.isEmpty() && room > Cut.size())
        return kept + QStringLiteral(": ") + detail.left(room - Cut.size()) + Cut + instruction;
    const QString essential = board + word + instruction;
    const int labelRoom = width - int(essential.size() + Gap.size());
    const QString address = label.trimmed();
    if (labelRoom > Cut.size()) // the port tells the slots of one fixture apart: keep the right
        return (address.size() <= labelRoom ? label.left(labelRoom)
                                            : Cut + address.right(labelRoom - Cut.size())) +
               Gap + essential;
    return essential.left(width);
}
