#include "TestSupport.h"
#include "board/ParsedGitDiff.h"
#include "common/ProcessRunner.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

using Kind = ParsedGitDiff::RawLine::Kind;

QString optionalText(const std::optional<QString> &text)
{
    return text ? QStringLiteral("'%1'").arg(*text) : QStringLiteral("none");
}

// The whole model as text, one line per file, hunk and hunk line, so a table
// row can state everything the parser made of a patch.
QString describe(const ParsedGitDiff &diff)
{
    QStringList out;
    for (const auto &file : diff.files) {
        out << QStringLiteral("file %1 old=%2 new=%3 meta=%4")
                   .arg(file.id, optionalText(file.oldPath), optionalText(file.newPath))
                   .arg(file.metadata.size());
        for (const auto &hunk : file.hunks) {
            out << QStringLiteral(" hunk %1 %2 [%3]").arg(hunk.oldStart).arg(hunk.newStart).arg(hunk.header);
            for (const auto &line : hunk.lines) {
                const char *mark = line.kind == Kind::context ? " "
                    : line.kind == Kind::addition             ? "+"
                    : line.kind == Kind::deletion             ? "-"
                                                              : "\\";
                out << QStringLiteral("  %1|%2").arg(QLatin1String(mark), line.text);
            }
        }
    }
    out << QStringLiteral("totals +%1 -%2").arg(diff.totalAdded).arg(diff.totalRemoved);
    return out.join(u'\n');
}

QString fixture(const QString &name)
{
    QFile file(TestSupport::fixturesPath(QStringLiteral("gitdiff/") + name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", qPrintable(name));
    return QString::fromUtf8(file.readAll());
}

using TestSupport::git;

using TestSupport::writeFile;

} // namespace

class ParsedGitDiffTest : public QObject
{
    Q_OBJECT

private slots:
    void parsesPatches_data()
    {
        QTest::addColumn<QString>("patch");
        QTest::addColumn<QString>("expected");

        QTest::newRow("empty text") << QString() << "totals +0 -0";
        QTest::newRow("unified diff without git headers") << "--- a/x\n+++ b/x\n@@ -1 +1 @@\n-a\n+b\n"
                                                          << "totals +0 -0";
        QTest::newRow("diff --git without its blank opens nothing") << "diff --git\n@@ -1 +1 @@\n-a\n"
                                                                    << "totals +0 -0";
        QTest::newRow("junk before the first file") << fixture(QStringLiteral("junk-before-first-file.patch"))
                                                    << "file a.txt->a.txt#0 old='a.txt' new='a.txt' meta=5\n"
                                                       " hunk 1 1 [@@ -1,2 +1,2 @@]\n  -|one\n  +|uno\n   |two\n"
                                                       "totals +1 -1";
        QTest::newRow("empty line closes the hunk") << fixture(QStringLiteral("empty-line-in-hunk.patch"))
                                                    << "file a.txt->a.txt#0 old='a.txt' new='a.txt' meta=7\n"
                                                       " hunk 1 1 [@@ -1,3 +1,3 @@]\n  -|one\n  +|uno\n"
                                                       " hunk 10 10 [@@ -10 +10 @@]\n  -|ten\n  +|diez\n"
                                                       "totals +2 -2";
        QTest::newRow("combined header") << fixture(QStringLiteral("combined-header.patch"))
                                         << "file m.c->m.c#0 old='m.c' new='m.c' meta=4\n"
                                            " hunk 1 1 [@@@ -1,2 -1,2 +1,2 @@@]\n  -| a\n   |-b\n  +|+c\n"
                                            "totals +1 -1";
        QTest::newRow("overflowing start") << fixture(QStringLiteral("overflowing-start.patch"))
                                           << "file big.txt->big.txt#0 old='big.txt' new='big.txt' meta=4\n"
                                              " hunk 1 1 [@@ -99999999999999999999,2 +7,2 @@ overflow]\n"
                                              "  -|x\n  +|y\n"
                                              "totals +1 -1";
        QTest::newRow("quoted paths with tab and time stamp")
            << fixture(QStringLiteral("quoted-paths.patch"))
            << "file with space.txt->x.txt#0 old='with space.txt' new='x.txt' meta=4\n"
               " hunk 1 1 [@@ -1 +1 @@]\n  -|a\n  +|b\n"
               "totals +1 -1";
        QTest::newRow("CRLF like LF, a lone CR stays")
            << "diff --git a/w b/w\r\n--- a/w\r\n+++ b/w\r\n@@ -1 +1 @@\r\n-a\r\n+b\rc\r\n"
            << "file w->w#0 old='w' new='w' meta=4\n hunk 1 1 [@@ -1 +1 @@]\n  -|a\n  +|b\rc\ntotals +1 -1";
        QTest::newRow("note, and a bare backslash closes")
            << "diff --git a/n b/n\n@@ -1 +1 @@\n-a\n\\ No newline at end of file\n+b\n\\\n+c\n"
            << "file n->n#0 old='n' new='n' meta=4\n hunk 1 1 [@@ -1 +1 @@]\n  -|a\n"
               "  \\|\\ No newline at end of file\n  +|b\ntotals +1 -1";
        QTest::newRow("added file takes both paths from the fallback")
            << "diff --git a/new.txt b/new.txt\nnew file mode 100644\n--- /dev/null\n+++ b/new.txt\n@@ -0,0 +1,2 @@\n"
               "+a\n+b\n"
            << "file new.txt->new.txt#0 old='new.txt' new='new.txt' meta=5\n hunk 0 1 [@@ -0,0 +1,2 @@]\n"
               "  +|a\n  +|b\ntotals +2 -0";
        QTest::newRow("pure rename")
            << "diff --git a/old.txt b/new.txt\nsimilarity index 100%\nrename from old.txt\nrename to new.txt\n"
            << "file old.txt->new.txt#0 old='old.txt' new='new.txt' meta=5\ntotals +0 -0";
        QTest::newRow("fallback cuts a blank path at its first blank")
            << "diff --git a/my file b/my file\nBinary files differ\n"
            << "file my->file b/my file#0 old='my' new='file b/my file' meta=3\ntotals +0 -0";
        QTest::newRow("same paths twice, b/ on the old side, a/ alone")
            << "diff --git a/x b/x\n--- b/x\n+++ a/\ndiff --git a/x b/x\n"
            << "file x->x#0 old='x' new='x' meta=3\nfile x->x#1 old='x' new='x' meta=2\ntotals +0 -0";
        QTest::newRow("later path line replaces, /dev/null clears to the fallback")
            << "diff --git a/p b/q\n--- a/first\n--- /dev/null\n+++ b/second\n"
            << "file p->second#0 old='p' new='second' meta=5\ntotals +0 -0";
        QTest::newRow("no fallback with one half") << "diff --git  onlyone \n--- /dev/null\n"
                                                   << "file /dev/null->/dev/null#0 old=none new=none meta=3\n"
                                                      "totals +0 -0";
        QTest::newRow("fallback second half keeps its blanks") << "diff --git   a/x  b/y\n"
                                                               << "file x->y#0 old='x' new='y' meta=2\ntotals +0 -0";
    }

    void parsesPatches()
    {
        QFETCH(QString, patch);
        QFETCH(QString, expected);
        QCOMPARE(describe(ParsedGitDiff::parse(patch)), expected);
    }

    // The header's counts say what is content, so a line that looks like a
    // file header stays a line of the hunk while its side has lines left.
    void headerCountsDecideWhatIsContent_data()
    {
        QTest::addColumn<QString>("patch");
        QTest::addColumn<QString>("expected");
        QTest::newRow("deleted -- and added ++ lines")
            << "diff --git a/s b/s\n--- a/s\n+++ b/s\n@@ -1,2 +1,2 @@\n keep\n--- note\n+++ x\n"
            << "file s->s#0 old='s' new='s' meta=4\n hunk 1 1 [@@ -1,2 +1,2 @@]\n   |keep\n  -|-- note\n  +|++ x\n"
               "totals +1 -1";
        QTest::newRow("counts used up: the next file header is metadata")
            << "diff --git a/s b/s\n@@ -1 +1 @@\n-a\n+b\n--- a/t\n+++ b/t\n"
            << "file t->t#0 old='t' new='t' meta=4\n hunk 1 1 [@@ -1 +1 @@]\n  -|a\n  +|b\ntotals +1 -1";
        QTest::newRow("header the pattern does not match: prefix rules") << "diff --git a/s b/s\n@@ -x +y @@\n+++ b/z\n"
                                                                         << "file s->z#0 old='s' new='z' meta=3\n"
                                                                            " hunk 1 1 [@@ -x +y @@]\ntotals +0 -0";
        QTest::newRow("missing count is one")
            << "diff --git a/s b/s\n@@ -3 +3,2 @@\n---a\n+++b\n+++c\n+++ d\n"
            << "file s->d#0 old='s' new='d' meta=3\n hunk 3 3 [@@ -3 +3,2 @@]\n  -|--a\n  +|++b\n  +|++c\n"
               "totals +2 -1";
    }

    void headerCountsDecideWhatIsContent()
    {
        QFETCH(QString, patch);
        QFETCH(QString, expected);
        QCOMPARE(describe(ParsedGitDiff::parse(patch)), expected);
    }

    void trailingLineFeedEndsInMetadata()
    {
        const auto diff = ParsedGitDiff::parse(QStringLiteral("diff --git a/x b/x\n@@ -1 +1 @@\n-a\n+b\n"));
        QCOMPARE(diff.files.size(), 1);
        QCOMPARE(diff.files[0].metadata, (QStringList {QStringLiteral("diff --git a/x b/x"), QString()}));
        QCOMPARE(diff.files[0].hunks.size(), 1);
    }

    void hunkStarts_data()
    {
        QTest::addColumn<QString>("header");
        QTest::addColumn<qint64>("oldStart");
        QTest::addColumn<qint64>("newStart");
        QTest::newRow("new file") << "@@ -0,0 +1,3 @@" << qint64(0) << qint64(1);
        QTest::newRow("without counts") << "@@ -5 +7 @@" << qint64(5) << qint64(7);
        QTest::newRow("with function") << "@@ -12,4 +12,6 @@ int main()" << qint64(12) << qint64(12);
        QTest::newRow("match inside the text") << "xx @@ -2 +3 @@" << qint64(2) << qint64(3);
        QTest::newRow("combined") << "@@@ -1,2 -1,2 +1,3 @@@" << qint64(1) << qint64(1);
        QTest::newRow("largest") << "@@ -9223372036854775807 +2 @@" << qint64(9223372036854775807LL) << qint64(2);
        QTest::newRow("overflow falls back together") << "@@ -9223372036854775808 +2 @@" << qint64(1) << qint64(1);
        QTest::newRow("non-ASCII digits") << QString::fromUtf8("@@ -\u0663 +2 @@") << qint64(1) << qint64(1);
    }

    void hunkStarts()
    {
        QFETCH(QString, header);
        QFETCH(qint64, oldStart);
        QFETCH(qint64, newStart);
        QCOMPARE(ParsedGitDiff::parseHunkStart(header), std::make_pair(oldStart, newStart));
    }

    void pathSpecs_data()
    {
        QTest::addColumn<QString>("spec");
        QTest::addColumn<QString>("path"); // "<none>" for nothing
        QTest::newRow("prefixed") << "a/x.txt"
                                  << "x.txt";
        QTest::newRow("quoted with a blank") << "\"a/with space.txt\""
                                             << "with space.txt";
        QTest::newRow("tab and time stamp") << " a/x.txt\t2024-01-01 10:00 "
                                            << "x.txt";
        QTest::newRow("prefix only") << "a/"
                                     << "<none>";
        QTest::newRow("dev null") << "/dev/null"
                                  << "<none>";
        QTest::newRow("quoted dev null") << "\"/dev/null\""
                                         << "<none>";
        QTest::newRow("blank") << "  \n"
                               << "<none>";
        QTest::newRow("escapes kept") << "\"a/caf\\303\\251\""
                                      << "caf\\303\\251";
        QTest::newRow("prefix removed once") << "b/b/x"
                                             << "b/x";
        QTest::newRow("no prefix") << "plain"
                                   << "plain";
        QTest::newRow("single quote char") << "\""
                                           << "\"";
    }

    void pathSpecs()
    {
        QFETCH(QString, spec);
        QFETCH(QString, path);
        const auto parsed = ParsedGitDiff::parsePathSpec(spec);
        QCOMPARE(parsed.value_or(QStringLiteral("<none>")), path);
    }

    void derivedValues()
    {
        ParsedGitDiff::FileSection file;
        QCOMPARE(file.displayPath(), QStringLiteral("(unknown file)"));
        QCOMPARE(file.subtitle(), std::nullopt);
        file.newPath = QString();
        file.oldPath = QStringLiteral("old.txt");
        QCOMPARE(file.displayPath(), QStringLiteral("old.txt"));
        QCOMPARE(file.subtitle(), std::optional<QString>(QStringLiteral("old.txt -> ")));
        file.newPath.reset();
        QCOMPARE(file.subtitle(), std::optional<QString>(QStringLiteral("old.txt -> /dev/null")));
    }

    // Patches git writes: every file's counts are what git's own numstat says.
    void countsMatchGitNumstat()
    {
        QTemporaryDir dir;
        const QString repo = dir.path();
        git(repo, {"init", "-q"});
        git(repo, {"config", "user.email", "t@example.com"});
        git(repo, {"config", "user.name", "T"});
        git(repo, {"config", "core.autocrlf", "false"});
        QByteArray longText;
        for (int i = 0; i < 40; ++i)
            longText += "line " + QByteArray::number(i) + "\n";
        writeFile(repo + "/modify.txt", "one\ntwo\nthree\n");
        writeFile(repo + "/delete.txt", "gone\nsoon\n");
        writeFile(repo + "/rename-me.txt", longText);
        writeFile(repo + "/image.bin", QByteArray("\x00\x01\x02\x03", 4));
        writeFile(repo + "/newline.txt", "a\nb\n");
        writeFile(repo + "/my file.txt", "space\n");
        writeFile(repo + "/crlf.txt", "one\r\ntwo\r\n");
        writeFile(repo + "/signature.txt", "body\n-- note\n++ kept\nend\n");
        git(repo, {"add", "-A"});
        git(repo, {"commit", "-q", "-m", "before"});

        writeFile(repo + "/modify.txt", "one\n2\nthree\nfour\n");
        QFile::remove(repo + "/delete.txt");
        writeFile(repo + "/added.txt", "fresh\nfile\n");
        QFile::remove(repo + "/rename-me.txt");
        writeFile(repo + "/renamed.txt", longText + "one more\n");
        writeFile(repo + "/image.bin", QByteArray("\x00\x09\x08\x07\x06", 5));
        writeFile(repo + "/newline.txt", "a\nb");
        writeFile(repo + "/my file.txt", "spaces\n");
        writeFile(repo + "/crlf.txt", "one\r\n2\r\n");
        writeFile(repo + "/signature.txt", "body\n++ x\n++ kept\nend\n-- added\n");
        git(repo, {"add", "-A"});
        git(repo, {"commit", "-q", "-m", "after"});

        // The patch as the checkpoint service writes it.
        const QStringList range {"--no-ext-diff", "--find-renames", "HEAD~1", "HEAD"};
        const auto diff
            = ParsedGitDiff::parse(QString::fromUtf8(git(repo, QStringList {"diff", "--binary", "--patch"} + range)));
        // -z: "added\tremoved\tpath\0", or for a rename "added\tremoved\t\0old\0new\0".
        const QList<QByteArray> fields = git(repo, QStringList {"diff", "--numstat", "-z"} + range).split('\0');
        QStringList expected;
        for (qsizetype i = 0; i + 1 < fields.size();) {
            const QList<QByteArray> counts = fields[i].split('\t');
            QCOMPARE(counts.size(), 3);
            QString path = QString::fromUtf8(counts[2]);
            ++i;
            if (path.isEmpty()) {
                path = QString::fromUtf8(fields[i + 1]);
                i += 2;
            }
            const auto number = [](const QByteArray &n) { return n == "-" ? QByteArray("0") : n; };
            expected << path + u' ' + QString::fromLatin1(number(counts[0])) + u' '
                    + QString::fromLatin1(number(counts[1]));
        }
        QStringList actual;
        for (const auto &file : diff.files)
            actual
                << QStringLiteral("%1 %2 %3").arg(file.displayPath()).arg(file.addedLines()).arg(file.removedLines());
        QCOMPARE(actual.size(), 9);
        QCOMPARE(actual, expected);

        const auto byPath = [&](const QString &path) {
            for (const auto &file : diff.files) {
                if (file.displayPath() == path)
                    return file;
            }
            return ParsedGitDiff::FileSection {};
        };
        QCOMPARE(byPath("renamed.txt").subtitle(), std::optional<QString>("rename-me.txt -> renamed.txt"));
        QVERIFY(byPath("image.bin").hunks.isEmpty());
        QCOMPARE(byPath("my file.txt").oldPath, std::optional<QString>("my file.txt"));
        QCOMPARE(byPath("newline.txt").hunks[0].lines.last().kind, Kind::note);
        QCOMPARE(byPath("added.txt").oldPath, std::optional<QString>("added.txt"));
        QCOMPARE(byPath("delete.txt").newPath, std::optional<QString>("delete.txt"));
    }
};

QTEST_GUILESS_MAIN(ParsedGitDiffTest)
#include "tst_parsedgitdiff.moc"
