// Timings of the diff viewer's work: parsing a large generated patch, and
// paging through a 50,000-row file in the viewer, with the rows built and the
// time of each step. Run with QT_QPA_PLATFORM=offscreen on a machine without a
// display.

#include "board/DiffRowsView.h"
#include "board/GitDiffView.h"
#include "board/ParsedGitDiff.h"
#include "board/SideBySideRow.h"
#include "shell/DarkAppearance.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QTextStream>
#include <QWindow>
#include <algorithm>
#include <vector>

namespace {

QTextStream out(stdout);

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// About `lines` lines over files of 500 lines each: hunks of context,
// deletions and additions, some long lines, a no-newline note now and then.
QString generatePatch(int lines)
{
    QString patch;
    patch.reserve(qsizetype(lines) * 48);
    int written = 0;
    for (int file = 0; written < lines; ++file) {
        const QString path = QStringLiteral("src/module%1/file%2.cpp").arg(file / 20).arg(file);
        patch += QStringLiteral("diff --git a/%1 b/%1\nindex 0123456..89abcde 100644\n--- a/%1\n+++ b/%1\n").arg(path);
        written += 4;
        for (int hunk = 0; hunk < 10 && written < lines; ++hunk) {
            patch += QStringLiteral("@@ -%1,30 +%1,30 @@ void function%2()\n").arg(hunk * 100 + 1).arg(hunk);
            ++written;
            for (int i = 0; i < 48; ++i) {
                switch (i % 6) {
                case 0:
                case 1:
                case 2:
                    patch += QStringLiteral("     int value%1 = compute(%1, \"text\"); // context\n").arg(i);
                    break;
                case 3:
                    patch += QStringLiteral("-    return old_call(%1, argument, another_argument);\n").arg(i);
                    break;
                case 4:
                    patch += QStringLiteral("+    return new_call(%1, argument, another_argument, more);\n").arg(i);
                    break;
                case 5:
                    patch += QStringLiteral("+    // %1\n").arg(QString(120, u'x'));
                    break;
                }
            }
            written += 48;
        }
    }
    return patch;
}

void benchmarkParse()
{
    const QString patch = generatePatch(250000);
    const qsizetype lineCount = patch.count(u'\n');
    std::vector<double> times;
    ParsedGitDiff parsed;
    for (int round = 0; round < 9; ++round) {
        QElapsedTimer timer;
        timer.start();
        parsed = ParsedGitDiff::parse(patch);
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    out << QStringLiteral("Parse %1 lines (%2 MB, %3 files, +%4 -%5): median %6 ms, min %7 ms over %8 rounds\n")
               .arg(lineCount)
               .arg(double(patch.size() * 2) / 1e6, 0, 'f', 1)
               .arg(parsed.files.size())
               .arg(parsed.totalAdded)
               .arg(parsed.totalRemoved)
               .arg(median(times), 0, 'f', 1)
               .arg(*std::min_element(times.begin(), times.end()), 0, 'f', 1)
               .arg(times.size());

    std::vector<double> rowTimes;
    for (int round = 0; round < 5; ++round) {
        QElapsedTimer timer;
        timer.start();
        qsizetype rows = 0;
        for (const auto &file : parsed.files)
            rows += sideBySideRows(file).size();
        rowTimes.push_back(double(timer.nsecsElapsed()) / 1e6);
        if (round == 0)
            out << QStringLiteral("Rows of every file: %1 rows").arg(rows);
    }
    out << QStringLiteral(", median %1 ms\n").arg(median(rowTimes), 0, 'f', 1);
    out.flush();
}

void benchmarkScrolling()
{
    constexpr int kRows = 50000;
    QString patch = QStringLiteral("diff --git a/long.txt b/long.txt\n@@ -1,%1 +1,%1 @@\n").arg(kRows - 1);
    for (int i = 0; i < kRows - 1; ++i) {
        if (i % 50 == 0)
            patch += QStringLiteral(" %1\n").arg(QString(300, u'w')); // wraps over several lines
        else
            patch += QStringLiteral(" line %1 of the long file\n").arg(i);
    }
    QElapsedTimer open;
    open.start();
    GitDiffView view(patch, 1600.0, [] {});
    view.show();
    QElapsedTimer exposure;
    exposure.start();
    while (!(view.windowHandle() && view.windowHandle()->isExposed()) && exposure.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    DiffRowsView *rows = view.rowsView();
    rows->viewport()->repaint();
    out << QStringLiteral("Open a %1-row file: %2 ms (parse, rows, heights, first paint)\n")
               .arg(rows->rows().size())
               .arg(double(open.nsecsElapsed()) / 1e6, 0, 'f', 1);

    QScrollBar *bar = rows->verticalScrollBar();
    std::vector<double> stepTimes;
    std::vector<double> builtPerStep;
    qsizetype built = rows->builtRowCount();
    while (bar->value() < bar->maximum()) {
        QElapsedTimer timer;
        timer.start();
        bar->setValue(bar->value() + bar->pageStep());
        rows->viewport()->repaint();
        stepTimes.push_back(double(timer.nsecsElapsed()) / 1e6);
        builtPerStep.push_back(double(rows->builtRowCount() - built));
        built = rows->builtRowCount();
    }
    out << QStringLiteral("Page down through it: %1 steps, rows built per step median %2 max %3, "
                          "time per step median %4 ms max %5 ms; %6 rows built in all, %7 held at the end\n")
               .arg(stepTimes.size())
               .arg(median(builtPerStep))
               .arg(*std::max_element(builtPerStep.begin(), builtPerStep.end()))
               .arg(median(stepTimes), 0, 'f', 2)
               .arg(*std::max_element(stepTimes.begin(), stepTimes.end()), 0, 'f', 2)
               .arg(rows->builtRowCount())
               .arg(rows->heldRows().size());

    QElapsedTimer resize;
    resize.start();
    view.resize(view.minimumWidth(), view.height());
    rows->viewport()->repaint();
    out << QStringLiteral("Re-measure all rows after a resize: %1 ms\n")
               .arg(double(resize.nsecsElapsed()) / 1e6, 0, 'f', 1);
    out.flush();
}

} // namespace

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    DarkAppearance::apply(application);
    benchmarkParse();
    benchmarkScrolling();
    return 0;
}
