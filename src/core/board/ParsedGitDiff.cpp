#include "ParsedGitDiff.h"

#include <QRegularExpression>

namespace {

using Kind = ParsedGitDiff::RawLine::Kind;

const QString kDiffGit = QStringLiteral("diff --git ");
const QString kDevNull = QStringLiteral("/dev/null");

// "@@ -a,b +c,d @@" anywhere in the line; the counts are optional.
const QRegularExpression &hunkHeaderPattern()
{
    thread_local const QRegularExpression pattern(QStringLiteral(R"(@@ -(\d+)(?:,(\d+))? \+(\d+)(?:,(\d+))? @@)"));
    return pattern;
}

// Lines still to come on each side of the open hunk, as its header counts
// them. Only a header that matches the pattern with readable counts is
// counted; a side that is used up falls back to the plain prefix rules.
struct HunkBudget
{
    bool counted = false;
    qint64 oldLeft = 0;
    qint64 newLeft = 0;

    static HunkBudget fromHeader(const QString &header)
    {
        const auto match = hunkHeaderPattern().match(header);
        if (!match.hasMatch())
            return {};
        const auto count = [&](int group, bool *ok) -> qint64 {
            if (!match.hasCaptured(group)) {
                *ok = true;
                return 1;
            }
            return match.capturedView(group).toLongLong(ok);
        };
        bool oldOk = false;
        bool newOk = false;
        const qint64 oldCount = count(2, &oldOk);
        const qint64 newCount = count(4, &newOk);
        if (!oldOk || !newOk)
            return {};
        return HunkBudget {true, oldCount, newCount};
    }
};

struct MutableHunk
{
    QString header;
    qint64 oldStart = 1;
    qint64 newStart = 1;
    QList<ParsedGitDiff::RawLine> lines;
    HunkBudget budget;
};

struct MutableFile
{
    std::optional<QString> oldPath;
    std::optional<QString> newPath;
    QStringList metadata;
    QList<ParsedGitDiff::Hunk> hunks;
};

class Parser
{
public:
    void feed(QStringView line)
    {
        if (line.startsWith(kDiffGit)) {
            flush();
            m_file.emplace();
            m_file->metadata.append(line.toString());
            return;
        }
        if (!m_file)
            return;
        if (line.startsWith(u"@@")) {
            closeHunk();
            m_hunk.emplace();
            m_hunk->header = line.toString();
            const auto [oldStart, newStart] = ParsedGitDiff::parseHunkStart(m_hunk->header);
            m_hunk->oldStart = oldStart;
            m_hunk->newStart = newStart;
            m_hunk->budget = HunkBudget::fromHeader(m_hunk->header);
            return;
        }
        if (m_hunk && appendToHunk(line))
            return;
        closeHunk();
        if (line.startsWith(u"--- "))
            m_file->oldPath = ParsedGitDiff::parsePathSpec(line.mid(4).toString());
        else if (line.startsWith(u"+++ "))
            m_file->newPath = ParsedGitDiff::parsePathSpec(line.mid(4).toString());
        m_file->metadata.append(line.toString());
    }

    QList<MutableFile> finish()
    {
        flush();
        return std::move(m_files);
    }

private:
    // False when the line does not belong to the open hunk.
    bool appendToHunk(QStringView line)
    {
        HunkBudget &budget = m_hunk->budget;
        if (line.startsWith(u'+') && ((budget.counted && budget.newLeft > 0) || !line.startsWith(u"+++"))) {
            m_hunk->lines.append({Kind::addition, line.mid(1).toString()});
            --budget.newLeft;
            return true;
        }
        if (line.startsWith(u'-') && ((budget.counted && budget.oldLeft > 0) || !line.startsWith(u"---"))) {
            m_hunk->lines.append({Kind::deletion, line.mid(1).toString()});
            --budget.oldLeft;
            return true;
        }
        if (line.startsWith(u' ')) {
            m_hunk->lines.append({Kind::context, line.mid(1).toString()});
            --budget.oldLeft;
            --budget.newLeft;
            return true;
        }
        if (line.startsWith(u"\\ ")) {
            m_hunk->lines.append({Kind::note, line.toString()});
            return true;
        }
        return false;
    }

    void closeHunk()
    {
        if (!m_hunk)
            return;
        m_file->hunks.append(ParsedGitDiff::Hunk {
            std::move(m_hunk->header), m_hunk->oldStart, m_hunk->newStart, std::move(m_hunk->lines)});
        m_hunk.reset();
    }

    void flush()
    {
        closeHunk();
        if (m_file) {
            m_files.append(std::move(*m_file));
            m_file.reset();
        }
    }

    std::optional<MutableFile> m_file;
    std::optional<MutableHunk> m_hunk;
    QList<MutableFile> m_files;
};

// The two halves of a "diff --git " line: the rest split once at a blank,
// blanks before the first half skipped, the second half taken whole.
std::optional<std::pair<QString, QString>> fallbackHalves(const QString &diffGitLine)
{
    const QStringView rest = QStringView(diffGitLine).mid(kDiffGit.size());
    qsizetype start = 0;
    while (start < rest.size()) {
        const qsizetype blank = rest.indexOf(u' ', start);
        if (blank < 0)
            return std::nullopt; // one piece only
        if (blank == start) {
            start = blank + 1; // an empty piece is skipped
            continue;
        }
        const QStringView first = rest.mid(start, blank - start);
        const QStringView second = rest.mid(blank + 1);
        if (second.isEmpty())
            return std::nullopt;
        return std::make_pair(first.toString(), second.toString());
    }
    return std::nullopt;
}

qint64 countLines(const QList<ParsedGitDiff::Hunk> &hunks, Kind kind)
{
    qint64 count = 0;
    for (const auto &hunk : hunks) {
        for (const auto &line : hunk.lines) {
            if (line.kind == kind)
                ++count;
        }
    }
    return count;
}

} // namespace

QString ParsedGitDiff::FileSection::displayPath() const
{
    if (newPath && !newPath->isEmpty())
        return *newPath;
    if (oldPath && !oldPath->isEmpty())
        return *oldPath;
    return QStringLiteral("(unknown file)");
}

std::optional<QString> ParsedGitDiff::FileSection::subtitle() const
{
    const QString oldSide = oldPath.value_or(kDevNull);
    const QString newSide = newPath.value_or(kDevNull);
    if (oldSide == newSide)
        return std::nullopt;
    return oldSide + QStringLiteral(" -> ") + newSide;
}

qint64 ParsedGitDiff::FileSection::addedLines() const
{
    return countLines(hunks, Kind::addition);
}

qint64 ParsedGitDiff::FileSection::removedLines() const
{
    return countLines(hunks, Kind::deletion);
}

ParsedGitDiff ParsedGitDiff::parse(const QString &text)
{
    QString normalized = text;
    normalized.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));

    Parser parser;
    const QStringView all(normalized);
    qsizetype start = 0;
    for (;;) {
        const qsizetype end = all.indexOf(u'\n', start);
        if (end < 0) {
            parser.feed(all.mid(start));
            break;
        }
        parser.feed(all.mid(start, end - start));
        start = end + 1;
    }

    ParsedGitDiff diff;
    QList<MutableFile> collected = parser.finish();
    diff.files.reserve(collected.size());
    for (qsizetype n = 0; n < collected.size(); ++n) {
        MutableFile &file = collected[n];
        std::optional<QString> fallbackOld;
        std::optional<QString> fallbackNew;
        if (!file.oldPath || !file.newPath) {
            if (const auto halves = fallbackHalves(file.metadata.first())) {
                fallbackOld = parsePathSpec(halves->first);
                fallbackNew = parsePathSpec(halves->second);
            }
        }
        FileSection section;
        section.oldPath = file.oldPath ? file.oldPath : fallbackOld;
        section.newPath = file.newPath ? file.newPath : fallbackNew;
        section.id = section.oldPath.value_or(kDevNull) + QStringLiteral("->") + section.newPath.value_or(kDevNull)
            + u'#' + QString::number(n);
        section.metadata = std::move(file.metadata);
        section.hunks = std::move(file.hunks);
        diff.files.append(std::move(section));
    }
    for (const auto &section : std::as_const(diff.files)) {
        diff.totalAdded += section.addedLines();
        diff.totalRemoved += section.removedLines();
    }
    return diff;
}

std::pair<qint64, qint64> ParsedGitDiff::parseHunkStart(const QString &header)
{
    const auto match = hunkHeaderPattern().match(header);
    if (!match.hasMatch())
        return {1, 1};
    bool oldOk = false;
    bool newOk = false;
    const qint64 oldStart = match.capturedView(1).toLongLong(&oldOk);
    const qint64 newStart = match.capturedView(3).toLongLong(&newOk);
    if (!oldOk || !newOk)
        return {1, 1};
    return {oldStart, newStart};
}

std::optional<QString> ParsedGitDiff::parsePathSpec(const QString &spec)
{
    QString value = spec.trimmed();
    if (value.isEmpty())
        return std::nullopt;
    const qsizetype tab = value.indexOf(u'\t');
    if (tab >= 0)
        value.truncate(tab);
    value = trimWrappingQuotes(value);
    if (value == kDevNull)
        return std::nullopt;
    if (value.startsWith(QStringLiteral("a/")) || value.startsWith(QStringLiteral("b/")))
        value.remove(0, 2);
    if (value.isEmpty())
        return std::nullopt;
    return value;
}

QString ParsedGitDiff::trimWrappingQuotes(const QString &text)
{
    if (text.size() > 1 && text.startsWith(u'"') && text.endsWith(u'"'))
        return text.mid(1, text.size() - 2);
    return text;
}
