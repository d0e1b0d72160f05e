#pragma once

#include <QString>

// Text helpers shared by every subsystem. Lengths are counted in
// user-perceived characters (extended grapheme clusters), never in UTF-16
// code units, so a cut never splits an emoji or a combining sequence.
namespace Text {

// Removes Unicode white space and line breaks at both ends.
QString trimmed(const QString &text);
bool isBlank(const QString &text);

qsizetype graphemeCount(const QString &text);
// The first `limit` graphemes; when the text was longer, `suffix` is added.
QString cutToGraphemes(const QString &text, qsizetype limit, const QString &suffix = QString());
// The last `limit` graphemes.
QString lastGraphemes(const QString &text, qsizetype limit);

// One shell argument in single quotes; a single quote inside becomes '"'"'.
QString shellSingleQuoted(const QString &text);

} // namespace Text
