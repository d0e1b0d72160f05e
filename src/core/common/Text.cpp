#include "Text.h"

#include <QTextBoundaryFinder>

namespace Text {
namespace {

    bool isWhiteSpaceOrLineBreak(char32_t c)
    {
        switch (c) {
        case 0x09:
        case 0x0A:
        case 0x0B:
        case 0x0C:
        case 0x0D:
        case 0x20:
        case 0x85:
        case 0xA0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
        }
    }

} // namespace

QString trimmed(const QString &text)
{
    // Every white space and line-break character lies in the basic plane, so
    // the text is looked at in UTF-16 units and only the kept part is copied.
    qsizetype start = 0;
    qsizetype end = text.size();
    while (start < end && isWhiteSpaceOrLineBreak(text.at(start).unicode()))
        ++start;
    while (end > start && isWhiteSpaceOrLineBreak(text.at(end - 1).unicode()))
        --end;
    if (start == 0 && end == text.size())
        return text;
    return text.mid(start, end - start);
}

bool isBlank(const QString &text)
{
    for (const QChar c : text)
        if (!isWhiteSpaceOrLineBreak(c.unicode()))
            return false;
    return true;
}

qsizetype graphemeCount(const QString &text)
{
    if (text.isEmpty())
        return 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() != -1) {
        ++count;
        if (finder.position() >= text.size())
            break;
    }
    return count;
}

QString cutToGraphemes(const QString &text, qsizetype limit, const QString &suffix)
{
    if (limit < 0)
        limit = 0;
    // Fast path: a text with no more code units than the limit has no more graphemes.
    if (text.size() <= limit)
        return text;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    qsizetype position = 0;
    while (count < limit) {
        const qsizetype next = finder.toNextBoundary();
        if (next == -1)
            return text;
        position = next;
        ++count;
    }
    if (position >= text.size())
        return text;
    return text.left(position) + suffix;
}

QString lastGraphemes(const QString &text, qsizetype limit)
{
    if (text.size() <= limit)
        return text;
    if (limit <= 0)
        return QString();
    // Walks back from the end, so only the tail is looked at.
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.toEnd();
    qsizetype count = 0;
    qsizetype position = text.size();
    while (count < limit) {
        const qsizetype previous = finder.toPreviousBoundary();
        if (previous == -1)
            return text;
        position = previous;
        ++count;
        if (position == 0)
            return text;
    }
    return text.mid(position);
}

QString shellSingleQuoted(const QString &text)
{
    QString quoted = text;
    quoted.replace(u'\'', QStringLiteral("'\"'\"'"));
    return u'\'' + quoted + u'\'';
}

} // namespace Text
