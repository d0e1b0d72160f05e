#include "board/DiffRowsView.h"
#include "board/ElidedLabel.h"
#include "board/GitDiffFileList.h"
#include "board/GitDiffStyle.h"
#include "board/GitDiffView.h"
#include "board/PillLabel.h"
#include "shell/DarkAppearance.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QScrollBar>
#include <QStackedWidget>
#include <QToolButton>
#include <QtTest>

namespace {

const QString kThreeFiles = QStringLiteral(
    "diff --git a/src/first.cpp b/src/first.cpp\n"
    "--- a/src/first.cpp\n+++ b/src/first.cpp\n"
    "@@ -1,2 +1,2 @@\n-int a;\n+int b;\n ctx\n"
    "@@ -10 +10,2 @@\n x\n+y\n"
    "diff --git a/old/name.txt b/new/name.txt\n"
    "similarity index 90%\nrename from old/name.txt\nrename to new/name.txt\n"
    "--- a/old/name.txt\n+++ b/new/name.txt\n@@ -3 +3 @@\n-before\n+after\n"
    "diff --git a/image.png b/image.png\nindex 1111111..2222222 100644\nBinary files a/image.png and b/image.png "
    "differ\n");

struct Dismissals
{
    int count = 0;
    std::function<void()> callback()
    {
        return [this] { ++count; };
    }
};

QString labelText(const QWidget *root, const QString &name)
{
    if (const auto *label = root->findChild<QLabel *>(name))
        return label->text();
    if (const auto *elided = root->findChild<ElidedLabel *>(name))
        return elided->text();
    return QStringLiteral("<no %1>").arg(name);
}

// A patch of one file whose single hunk has `lines` context lines.
QString longPatch(int lines)
{
    QString patch = QStringLiteral("diff --git a/long.txt b/long.txt\n@@ -1,%1 +1,%1 @@\n").arg(lines);
    for (int i = 0; i < lines; ++i)
        patch += QStringLiteral(" line %1\n").arg(i);
    return patch;
}

} // namespace

class GitDiffViewTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { DarkAppearance::apply(*qApp); }

    void emptyPatchShowsHeaderAndEmptyState()
    {
        Dismissals dismissals;
        GitDiffView view(QString(), 1400.0, dismissals.callback());
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QCOMPARE(labelText(&view, "diffTitle"), QStringLiteral("Git Diff"));
        QCOMPARE(labelText(&view, "filesChangedLabel"), QStringLiteral("0 files changed"));
        QCOMPARE(view.findChild<PillLabel *>("addedTotalPill")->text(), QStringLiteral("+0"));
        QCOMPARE(view.findChild<PillLabel *>("removedTotalPill")->text(), QStringLiteral("-0"));
        QVERIFY(view.findChild<QToolButton *>("closeButton")->isVisible());
        QVERIFY(view.findChild<QWidget *>("emptyState")->isVisible());
        QCOMPARE(labelText(&view, "emptyStateTitle"), QStringLiteral("No diff content available."));
        QCOMPARE(labelText(&view, "emptyStateDetail"), QStringLiteral("The patch did not include any file hunks."));
        QVERIFY(!view.findChild<GitDiffFileList *>());
        QVERIFY(!view.selectedFileID());
    }

    void fileListSelectsAndShowsFiles()
    {
        Dismissals dismissals;
        GitDiffView view(kThreeFiles, 1400.0, dismissals.callback());
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QCOMPARE(labelText(&view, "filesChangedLabel"), QStringLiteral("3 files changed"));
        QCOMPARE(view.findChild<PillLabel *>("addedTotalPill")->text(), QStringLiteral("+3"));
        QCOMPARE(view.findChild<PillLabel *>("removedTotalPill")->text(), QStringLiteral("-2"));

        GitDiffFileList *list = view.fileList();
        QCOMPARE(list->objectName(), QStringLiteral("fileList"));
        QCOMPARE(list->model()->rowCount(), 3);
        const auto files = view.parsedDiff().files;
        QCOMPARE(GitDiffFileList::cardTexts(files[0]), (QStringList {"src/first.cpp", "+2", "-1", "2 hunks"}));
        QCOMPARE(GitDiffFileList::cardTexts(files[1]), (QStringList {"new/name.txt", "+1", "-1", "1 hunks"}));
        QCOMPARE(GitDiffFileList::cardTexts(files[2]), (QStringList {"image.png", "+0", "-0", "0 hunks"}));

        // The first file is selected on opening and its pane shown.
        QCOMPARE(view.selectedFileID(), std::optional<QString>(files[0].id));
        QCOMPARE(list->selectedFileID(), std::optional<QString>(files[0].id));
        QCOMPARE(labelText(&view, "fileHeaderPath"), QStringLiteral("src/first.cpp"));
        QVERIFY(!view.findChild<ElidedLabel *>("fileHeaderSubtitle")->isVisible());
        QCOMPARE(view.findChild<PillLabel *>("beforeLabel")->text(), QStringLiteral("Before"));
        QCOMPARE(view.findChild<PillLabel *>("afterLabel")->text(), QStringLiteral("After"));
        QVERIFY(view.rowsView()->isVisible());
        QCOMPARE(view.rowsView()->rows().size(), 6);

        // A click on the renamed file: its new path, and old -> new below.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->cardRect(1).center());
        QCOMPARE(view.selectedFileID(), std::optional<QString>(files[1].id));
        QCOMPARE(list->selectedFileID(), std::optional<QString>(files[1].id));
        QCOMPARE(labelText(&view, "fileHeaderPath"), QStringLiteral("new/name.txt"));
        QVERIFY(view.findChild<ElidedLabel *>("fileHeaderSubtitle")->isVisible());
        QCOMPARE(labelText(&view, "fileHeaderSubtitle"), QStringLiteral("old/name.txt -> new/name.txt"));

        // The binary file has no hunks: the notice in place of rows.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->cardRect(2).center());
        QCOMPARE(view.selectedFileID(), std::optional<QString>(files[2].id));
        QVERIFY(view.findChild<QWidget *>("noHunksNotice")->isVisible());
        QVERIFY(!view.rowsView()->isVisible());
        QCOMPARE(labelText(&view, "noHunksTitle"), QStringLiteral("No textual hunks available for this file."));
        QCOMPARE(labelText(&view, "noHunksDetail"),
            QStringLiteral("This usually indicates a binary change or metadata-only diff."));

        // Clicking the highlighted entry again changes nothing.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->cardRect(2).center());
        QCOMPARE(view.selectedFileID(), std::optional<QString>(files[2].id));
        QVERIFY(view.findChild<QWidget *>("noHunksNotice")->isVisible());
    }

    void longPathsAreShortenedInTheMiddle()
    {
        const QString path = QStringLiteral("very/long/") + QString(30, u'x') + QStringLiteral("/directory/name/")
            + QString(60, u'y') + QStringLiteral("/final-file-name.cpp");
        GitDiffView view(QStringLiteral("diff --git a/%1 b/%1\nBinary files differ\n").arg(path), 1400.0, [] {});
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.resize(view.minimumSize());
        QTRY_VERIFY(view.findChild<ElidedLabel *>("fileHeaderPath")->width() < view.width());
        auto *header = view.findChild<ElidedLabel *>("fileHeaderPath");
        header->resize(300, header->height());
        const QString shown = header->shownText();
        QVERIFY(shown.contains(QChar(0x2026)));
        QVERIFY(shown.startsWith(QStringLiteral("very/")));
        QVERIFY(shown.endsWith(QStringLiteral(".cpp")));
        QCOMPARE(header->text(), path);
    }

    void sheetSizing_data()
    {
        QTest::addColumn<double>("parentWidth"); // 0: none
        QTest::addColumn<double>("screenWidth"); // 0: no screen
        QTest::addColumn<double>("ideal");
        QTest::addColumn<double>("minimum");
        QTest::newRow("1000") << 1000.0 << 1600.0 << 1280.0 << 1049.6;
        QTest::newRow("2000") << 2000.0 << 1600.0 << 1760.0 << 1443.2;
        QTest::newRow("2560") << 2560.0 << 0.0 << 2252.8 << 1847.296;
        QTest::newRow("screen 1600") << 0.0 << 1600.0 << 1408.0 << 1154.56;
        QTest::newRow("no width, no screen") << 0.0 << 0.0 << 1302.4 << 1067.968;
    }

    void sheetSizing()
    {
        QFETCH(double, parentWidth);
        QFETCH(double, screenWidth);
        QFETCH(double, ideal);
        QFETCH(double, minimum);
        const auto optional = [](double value) { return value > 0 ? std::optional<double>(value) : std::nullopt; };
        const GitDiffSheetSize size = GitDiffView::sheetSize(optional(parentWidth), optional(screenWidth));
        QVERIFY(qFuzzyCompare(size.idealWidth, ideal));
        QVERIFY(qFuzzyCompare(size.minimumWidth, minimum));
        QCOMPARE(size.idealHeight, 760.0);
        QCOMPARE(size.minimumHeight, 620.0);

        // The view sizes itself from the injected screen, and the file list
        // keeps its width at every size.
        GitDiffView view(
            kThreeFiles, optional(parentWidth), [] {}, nullptr, [&] { return optional(screenWidth); });
        QCOMPARE(view.declaredSize(), size);
        QCOMPARE(view.minimumWidth(), int(std::ceil(minimum)));
        QCOMPARE(view.minimumHeight(), 620);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        for (int width : {view.minimumWidth(), view.minimumWidth() + 300, 2600}) {
            view.resize(width, 800);
            QTRY_COMPARE(view.width(), width);
            QCOMPARE(view.fileList()->width(), GitDiffFileList::kWidth);
        }
    }

    void escapeAndCloseAskOnceEachAndStayOpen()
    {
        QWidget parent;
        parent.resize(800, 600);
        parent.show();
        Dismissals dismissals;
        GitDiffView view(kThreeFiles, 1400.0, dismissals.callback(), &parent);
        QCOMPARE(view.windowModality(), Qt::WindowModal);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QTest::keyClick(&view, Qt::Key_Escape);
        QCOMPARE(dismissals.count, 1);
        QVERIFY(view.isVisible());
        view.rowsView()->setFocus();
        QTest::keyClick(view.rowsView(), Qt::Key_Escape);
        QCOMPARE(dismissals.count, 2);
        QTest::mouseClick(view.findChild<QToolButton *>("closeButton"), Qt::LeftButton);
        QCOMPARE(dismissals.count, 3);
        QVERIFY(view.isVisible());
    }

    void rowsAreSelectedAndCopied()
    {
        GitDiffView view(kThreeFiles, 1400.0, [] {});
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        DiffRowsView *rows = view.rowsView();
        // Header, changed pair, context line.
        rows->selectRows(0, 2);
        rows->setFocus();
        QTest::keyClick(rows, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("@@ -1,2 +1,2 @@\n-int a;\n+int b;\n ctx\n"));
        // A click picks one row, Shift+click extends.
        const int y1 = rows->rowTop(1) + 2;
        const int y4 = rows->rowTop(4) + 2;
        QTest::mouseClick(rows->viewport(), Qt::LeftButton, {}, QPoint(20, y1));
        QTest::mouseClick(rows->viewport(), Qt::LeftButton, Qt::ShiftModifier, QPoint(20, y4));
        QCOMPARE(rows->selection(), std::make_optional(std::pair<qsizetype, qsizetype>(1, 4)));
        QCOMPARE(rows->selectedText(), QStringLiteral("-int a;\n+int b;\n ctx\n@@ -10 +10,2 @@\n x\n"));
    }

    void longLinesWrapWithinTheirHalf()
    {
        const QString longLine(600, u'w');
        GitDiffView view(QStringLiteral("diff --git a/w b/w\n@@ -1 +1 @@\n-short\n+%1\n").arg(longLine), 1400.0, [] {});
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        DiffRowsView *rows = view.rowsView();
        QCOMPARE(rows->rows().size(), 2);
        const int oneLine = rows->rowHeight(0);
        const int wrapped = rows->rowHeight(1);
        // At least as many lines as the text is wider than the half.
        const QFontMetricsF metrics(GitDiffStyle::codeFont(12));
        const double half = (rows->viewport()->width() - 1) / 2.0;
        const int leastLines = int(600 * metrics.horizontalAdvance(u'M') / half);
        QVERIFY(leastLines >= 3);
        QVERIFY2(wrapped >= leastLines * int(metrics.lineSpacing()), qPrintable(QString::number(wrapped)));
        QVERIFY(oneLine < wrapped);
        // Narrower means more lines, never a cut.
        view.resize(view.minimumWidth(), view.height());
        QTRY_VERIFY(rows->rowHeight(1) > wrapped);
    }

    void onlyRowsOnScreenAreBuilt()
    {
        GitDiffView view(longPatch(50000), 1400.0, [] {});
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        DiffRowsView *rows = view.rowsView();
        QCOMPARE(rows->rows().size(), 50001);
        rows->viewport()->repaint();
        const auto checkHeld = [&](qsizetype mustHold) {
            const auto visible = rows->visibleRows();
            QVERIFY(visible);
            const QList<qsizetype> held = rows->heldRows();
            QCOMPARE(held.size(), visible->second - visible->first + 1);
            QCOMPARE(held.first(), visible->first);
            QCOMPARE(held.last(), visible->second);
            QVERIFY(held.contains(mustHold));
            QVERIFY(held.size() < 80);
        };
        checkHeld(0);
        const qsizetype builtAtStart = rows->builtRowCount();
        QVERIFY(builtAtStart < 80);

        rows->verticalScrollBar()->setValue(rows->verticalScrollBar()->maximum());
        rows->viewport()->repaint();
        checkHeld(50000);
        QVERIFY(rows->builtRowCount() < 2 * builtAtStart + 2);
    }

    void colourTable()
    {
        using namespace GitDiffStyle;
        using K = LineKind;
        QCOMPARE(addedTint(), QColor::fromRgbF(0.30f, 0.84f, 0.48f));
        QCOMPARE(removedTint(), QColor::fromRgbF(0.95f, 0.42f, 0.40f));
        QCOMPARE(infoTint(), QColor::fromRgbF(0.58f, 0.78f, 0.98f));
        QCOMPARE(textColor(K::context), withAlpha(Qt::white, 0.90));
        QCOMPARE(textColor(K::addition), QColor::fromRgbF(0.84f, 0.99f, 0.87f));
        QCOMPARE(markerColor(K::deletion), removedTint());
        QCOMPARE(markerColor(std::nullopt), withAlpha(Qt::white, 0.24));
        QCOMPARE(backgroundColor(K::addition), withAlpha(QColor::fromRgbF(0.10f, 0.38f, 0.20f), 0.72));
        QCOMPARE(backgroundColor(K::deletion), withAlpha(QColor::fromRgbF(0.44f, 0.14f, 0.14f), 0.70));
        QCOMPARE(backgroundColor(std::nullopt), QColor(Qt::transparent));
    }
};

QTEST_MAIN(GitDiffViewTest)
#include "tst_gitdiffview.moc"
