#pragma once

#include "board/ParsedGitDiff.h"

#include <QList>
#include <QString>
#include <optional>

// One row of a file shown in two columns, old text left and new text right.
struct SideBySideRow
{
    enum class Kind { hunkHeader, note, pair };

    struct Cell
    {
        qint64 lineNumber = 0;
        QChar marker; // ' ', '-' or '+'
        QString text; // without the marker
        ParsedGitDiff::RawLine::Kind kind = ParsedGitDiff::RawLine::Kind::context;

        friend bool operator==(const Cell &, const Cell &) = default;
    };

    QString id; // unique within the rows of one file
    Kind kind = Kind::pair;
    QString text; // the header or note line; empty for a pair
    // A pair has at least one side: both for context, otherwise a deletion
    // on the left and an addition on the right.
    std::optional<Cell> left;
    std::optional<Cell> right;

    friend bool operator==(const SideBySideRow &, const SideBySideRow &) = default;
};

// The rows of one file in display order: per hunk its header, then its lines,
// each deletion run paired with the addition run directly after it. Pure.
QList<SideBySideRow> sideBySideRows(const ParsedGitDiff::FileSection &file);
