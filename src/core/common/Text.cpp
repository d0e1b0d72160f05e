#include "Text.h"

#include <QList>
#include <QTextBoundaryFinder>

namespace Text {
namespace {

bool isWhiteSpaceOrLineBreak(char32_t c)
{
    switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0x85: case 0xA0:
    case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

// Positions (UTF-16 offsets) at which grapheme clusters start, plus the end.
QList<qsizetype> graphemeBoundaries(const QString &text)
{
    QList<qsizetype> boundaries;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype position = 0;
    boundaries.append(0);
    while ((position = finder.toNextBoundary()) != -1 && position <= text.size()) {
        boundaries.append(position);
        if (position == text.size())
            break;
    }
    return boundaries;
}

} // namespace

QString trimmed(const QString &text)
{
    const QList<uint> codePoints = text.toUcs4();
    qsizetype start = 0;
    qsizetype end = codePoints.size();
    while (start < end && isWhiteSpaceOrLineBreak(codePoints[start]))
        ++start;
    while (end > start && isWhiteSpaceOrLineBreak(codePoints[end - 1]))
        --end;
    if (start == 0 && end == codePoints.size())
        return text;
    return QString::fromUcs4(reinterpret_cast<const char32_t *>(codePoints.constData() + start), end - start);
}

bool isBlank(const QString &text)
{
    return trimmed(text).isEmpty();
}

qsizetype graphemeCount(const QString &text)
{
    if (text.isEmpty())
        return 0;
    return graphemeBoundaries(text).size() - 1;
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
    const QList<qsizetype> boundaries = graphemeBoundaries(text);
    const qsizetype total = boundaries.size() - 1;
    if (total <= limit)
        return text;
    return text.mid(boundaries[total - limit]);
}

QString shellSingleQuoted(const QString &text)
{
    QString quoted = text;
    quoted.replace(u'\'', QStringLiteral("'\"'\"'"));
    return u'\'' + quoted + u'\'';
}

} // namespace Text
