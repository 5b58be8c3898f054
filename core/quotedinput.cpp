#include "core/quotedinput.h"

namespace {

constexpr int MostShown = 80; // characters

bool isShownAsIs(char32_t c)
{
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate: // a lone half
    case QChar::Other_NotAssigned:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return false;
    default:
        return true;
    }
}

} // namespace

QString quotedInput(const QString &text)
{
    QString shown = QStringLiteral("\"");
    int i = 0;
    for (int characters = 0; i < text.size() && characters < MostShown; ++characters) {
        char32_t c = text.at(i).unicode();
        int width = 1;
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            c = QChar::surrogateToUcs4(text.at(i), text.at(i + 1)), width = 2;
        if (c == U'"' || c == U'\\')
            shown += QLatin1Char('\\');
        if (isShownAsIs(c))
            shown += text.mid(i, width);
        else
            shown += c < 0x100 ? QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'))
                               : QStringLiteral("\\u{%1}").arg(uint(c), 4, 16, QLatin1Char('0'));
        i += width;
    }
    shown += QLatin1Char('"');
    if (i < text.size())
        shown += QStringLiteral("... (%1 characters)").arg(text.size());
    return shown;
}
