#include "SideBySideRow.h"

#include <algorithm>

namespace {

using LineKind = ParsedGitDiff::RawLine::Kind;

// Collects the run of lines of `kind` starting at `i` as cells numbered from
// `counter`; returns the position after the run.
qsizetype collectRun(const QList<ParsedGitDiff::RawLine> &lines, qsizetype i, LineKind kind, QChar marker,
    qint64 &counter, QList<SideBySideRow::Cell> &cells)
{
    while (i < lines.size() && lines[i].kind == kind) {
        cells.append(SideBySideRow::Cell {counter++, marker, lines[i].text, kind});
        ++i;
    }
    return i;
}

} // namespace

QList<SideBySideRow> sideBySideRows(const ParsedGitDiff::FileSection &file)
{
    QList<SideBySideRow> rows;
    const QString &fileID = file.id;
    for (qsizetype h = 0; h < file.hunks.size(); ++h) {
        const ParsedGitDiff::Hunk &hunk = file.hunks[h];
        const QString prefix = fileID + QStringLiteral("-h-") + QString::number(h);
        rows.append(SideBySideRow {prefix + QStringLiteral("-header"), SideBySideRow::Kind::hunkHeader, hunk.header,
            std::nullopt, std::nullopt});
        const auto &lines = hunk.lines;
        if (lines.isEmpty())
            continue;
        qint64 oldCounter = std::max<qint64>(hunk.oldStart, 1);
        qint64 newCounter = std::max<qint64>(hunk.newStart, 1);
        qsizetype i = 0;
        while (i < lines.size()) {
            const auto &line = lines[i];
            switch (line.kind) {
            case LineKind::context: {
                SideBySideRow row {prefix + QStringLiteral("-row-") + QString::number(i), SideBySideRow::Kind::pair,
                    QString(), SideBySideRow::Cell {oldCounter++, u' ', line.text, LineKind::context},
                    SideBySideRow::Cell {newCounter++, u' ', line.text, LineKind::context}};
                rows.append(std::move(row));
                ++i;
                break;
            }
            case LineKind::note:
                rows.append(SideBySideRow {prefix + QStringLiteral("-note-") + QString::number(i),
                    SideBySideRow::Kind::note, line.text, std::nullopt, std::nullopt});
                ++i;
                break;
            case LineKind::deletion: {
                QList<SideBySideRow::Cell> removed;
                QList<SideBySideRow::Cell> added;
                qsizetype j = collectRun(lines, i, LineKind::deletion, u'-', oldCounter, removed);
                j = collectRun(lines, j, LineKind::addition, u'+', newCounter, added);
                const qsizetype longer = std::max(removed.size(), added.size());
                const QString blockPrefix = prefix + QStringLiteral("-pair-") + QString::number(j) + u'-';
                for (qsizetype k = 0; k < longer; ++k) {
                    SideBySideRow row {blockPrefix + QString::number(k), SideBySideRow::Kind::pair, QString(),
                        std::nullopt, std::nullopt};
                    if (k < removed.size())
                        row.left = removed[k];
                    if (k < added.size())
                        row.right = added[k];
                    rows.append(std::move(row));
                }
                i = j;
                break;
            }
            case LineKind::addition: {
                QList<SideBySideRow::Cell> added;
                const qsizetype j = collectRun(lines, i, LineKind::addition, u'+', newCounter, added);
                const QString blockPrefix = prefix + QStringLiteral("-plus-") + QString::number(j) + u'-';
                for (qsizetype k = 0; k < added.size(); ++k) {
                    rows.append(SideBySideRow {blockPrefix + QString::number(k), SideBySideRow::Kind::pair, QString(),
                        std::nullopt, added[k]});
                }
                i = j;
                break;
            }
            }
        }
    }
    return rows;
}
