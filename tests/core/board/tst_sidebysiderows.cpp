#include "board/ParsedGitDiff.h"
#include "board/SideBySideRow.h"

#include <QtTest>

namespace {

QString cell(const std::optional<SideBySideRow::Cell> &cell)
{
    if (!cell)
        return QStringLiteral("_");
    return QStringLiteral("%1%2%3").arg(cell->lineNumber).arg(cell->marker).arg(cell->text);
}

// One line per row: its id without the file id, then what it shows.
QString describe(const QList<SideBySideRow> &rows, const QString &fileID)
{
    QStringList out;
    for (const auto &row : rows) {
        QString id = row.id;
        if (!id.startsWith(fileID))
            return QStringLiteral("row id without the file id: ") + id;
        id = id.mid(fileID.size());
        switch (row.kind) {
        case SideBySideRow::Kind::hunkHeader:
            out << id + QStringLiteral(" header ") + row.text;
            break;
        case SideBySideRow::Kind::note:
            out << id + QStringLiteral(" note ") + row.text;
            break;
        case SideBySideRow::Kind::pair:
            out << id + u' ' + cell(row.left) + QStringLiteral(" | ") + cell(row.right);
            break;
        }
    }
    return out.join(u'\n');
}

} // namespace

class SideBySideRowsTest : public QObject
{
    Q_OBJECT

private slots:
    void buildsRows_data()
    {
        QTest::addColumn<QString>("hunks");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no hunks") << QString() << QString();
        QTest::newRow("hunk without lines") << "@@ -1 +1 @@\n"
                                            << "-h-0-header header @@ -1 +1 @@";
        QTest::newRow("additions to a new file")
            << "@@ -0,0 +1,2 @@\n+a\n+b\n"
            << "-h-0-header header @@ -0,0 +1,2 @@\n-h-0-plus-2-0 _ | 1+a\n-h-0-plus-2-1 _ | 2+b";
        QTest::newRow("three deletions, one addition")
            << "@@ -1,3 +1 @@\n-a\n-b\n-c\n+x\n"
            << "-h-0-header header @@ -1,3 +1 @@\n-h-0-pair-4-0 1-a | 1+x\n-h-0-pair-4-1 2-b | _\n"
               "-h-0-pair-4-2 3-c | _";
        QTest::newRow("one deletion, three additions")
            << "@@ -1 +1,3 @@\n-a\n+x\n+y\n+z\n"
            << "-h-0-header header @@ -1 +1,3 @@\n-h-0-pair-4-0 1-a | 1+x\n-h-0-pair-4-1 _ | 2+y\n"
               "-h-0-pair-4-2 _ | 3+z";
        QTest::newRow("additions before deletions are not paired")
            << "@@ -5,1 +5,1 @@\n+x\n-a\n"
            << "-h-0-header header @@ -5,1 +5,1 @@\n-h-0-plus-1-0 _ | 5+x\n-h-0-pair-2-0 5-a | _";
        QTest::newRow("note separates the runs")
            << "@@ -1 +1 @@\n-a\n\\ No newline at end of file\n+b\n"
            << "-h-0-header header @@ -1 +1 @@\n-h-0-pair-1-0 1-a | _\n"
               "-h-0-note-1 note \\ No newline at end of file\n-h-0-plus-3-0 _ | 1+b";
        QTest::newRow("context numbers run on; empty text kept")
            << "@@ -10,3 +12,3 @@ fn\n ctx\n-old\n+new\n \n"
            << "-h-0-header header @@ -10,3 +12,3 @@ fn\n-h-0-row-0 10 ctx | 12 ctx\n-h-0-pair-3-0 11-old | 13+new\n"
               "-h-0-row-3 12  | 14 ";
        QTest::newRow("second hunk, start below one counts from one")
            << "@@ -1 +1 @@\n a\n@@ -0 +0 @@\n-b\n"
            << "-h-0-header header @@ -1 +1 @@\n-h-0-row-0 1 a | 1 a\n-h-1-header header @@ -0 +0 @@\n"
               "-h-1-pair-1-0 1-b | _";
    }

    void buildsRows()
    {
        QFETCH(QString, hunks);
        QFETCH(QString, expected);
        const auto diff = ParsedGitDiff::parse(QStringLiteral("diff --git a/a.txt b/a.txt\n") + hunks);
        QCOMPARE(diff.files.size(), 1);
        const auto &file = diff.files[0];
        QCOMPARE(file.id, QStringLiteral("a.txt->a.txt#0"));
        const auto rows = sideBySideRows(file);
        QCOMPARE(describe(rows, file.id), expected);

        QSet<QString> ids;
        for (const auto &row : rows) {
            ids.insert(row.id);
            if (row.kind != SideBySideRow::Kind::pair)
                continue;
            QVERIFY(row.left || row.right);
            if (row.left && row.left->kind == ParsedGitDiff::RawLine::Kind::context) {
                QCOMPARE(row.right->text, row.left->text);
                QCOMPARE(row.right->kind, ParsedGitDiff::RawLine::Kind::context);
            } else {
                QVERIFY(!row.left || row.left->kind == ParsedGitDiff::RawLine::Kind::deletion);
                QVERIFY(!row.right || row.right->kind == ParsedGitDiff::RawLine::Kind::addition);
            }
        }
        QCOMPARE(ids.size(), rows.size());
    }
};

QTEST_GUILESS_MAIN(SideBySideRowsTest)
#include "tst_sidebysiderows.moc"
