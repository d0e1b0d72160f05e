#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>
#include <utility>

// One unified git patch read into files, hunks and classified lines. Pure:
// parsing reads nothing, keeps no state and never fails; text that is not a
// patch gives a model without files.
struct ParsedGitDiff
{
    struct RawLine
    {
        enum class Kind { context, addition, deletion, note };

        Kind kind = Kind::context;
        // Without the leading blank, "+" or "-"; a note keeps its whole line.
        QString text;

        friend bool operator==(const RawLine &, const RawLine &) = default;
    };

    struct Hunk
    {
        QString header; // the whole "@@" line
        qint64 oldStart = 1;
        qint64 newStart = 1;
        QList<RawLine> lines;

        friend bool operator==(const Hunk &, const Hunk &) = default;
    };

    struct FileSection
    {
        // "<old or /dev/null>-><new or /dev/null>#<position>", unique in one parse.
        QString id;
        std::optional<QString> oldPath; // without "a/"
        std::optional<QString> newPath; // without "b/"
        // Every line of the section outside its hunks, starting with its
        // "diff --git " line.
        QStringList metadata;
        QList<Hunk> hunks;

        // The new path, else the old one, else "(unknown file)".
        QString displayPath() const;
        // "old -> new" when the two differ (a missing side reads "/dev/null").
        std::optional<QString> subtitle() const;
        qint64 addedLines() const;
        qint64 removedLines() const;

        friend bool operator==(const FileSection &, const FileSection &) = default;
    };

    QList<FileSection> files;
    qint64 totalAdded = 0;
    qint64 totalRemoved = 0;

    static ParsedGitDiff parse(const QString &text);

    // The old and new start line of a hunk header; both 1 when the header
    // cannot be read.
    static std::pair<qint64, qint64> parseHunkStart(const QString &header);
    // The path in the rest of a "--- "/"+++ " line or in one half of a
    // "diff --git " line: trimmed, cut at a tab, unquoted, "a/" or "b/" removed;
    // nothing for "/dev/null" or an empty value.
    static std::optional<QString> parsePathSpec(const QString &spec);
    // The text without one pair of wrapping double quotes.
    static QString trimWrappingQuotes(const QString &text);
};
