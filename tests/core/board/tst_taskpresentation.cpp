// The board's and the task detail's rules that need no widget: titles and
// submitters, the card's looks, drops, transcript rows, history order,
// sizing, links and the log download.

#include "BoardFixture.h"
#include "TestSupport.h"
#include "board/TaskCardPresentation.h"
#include "board/TaskDetailPresentation.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace BoardFixture;

namespace {

const QUuid kTaskID(QStringLiteral("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"));

BL_Task taskWith(BL_TaskStatus status, std::optional<QByteArray> output = std::nullopt, QByteArray metadata = "{}")
{
    BL_Task task = makeTask(u'A', status, 10);
    task.outputData = std::move(output);
    task.metadata = std::move(metadata);
    return task;
}

QByteArray shellResult(int exitCode)
{
    return QStringLiteral(R"({"command":"make","exitCode":%1,"stderr":"","stdout":""})").arg(exitCode).toUtf8();
}

QByteArray artifactMetadata(const QString &path, bool withSummary = true)
{
    QString summary
        = withSummary ? QStringLiteral(R"(,"summary":{"filesChanged":1,"linesAdded":12,"linesRemoved":3})") : QString();
    return QStringLiteral(R"({"git_diff_artifact":{"diffFilePath":"%1","isExact":true,"state":"ready"%2}})")
        .arg(path, summary)
        .toUtf8();
}

BL_TaskConversationTurn turn(const QString &id, double seconds, const QString &content,
    BL_TaskConversationRole role = BL_TaskConversationRole::worker)
{
    BL_TaskConversationTurn result;
    result.id = QUuid(id);
    result.timestamp = TimePoint::fromReferenceSeconds(seconds);
    result.role = role;
    result.content = content;
    return result;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestTaskPresentation : public QObject
{
    Q_OBJECT

private slots:
    void title_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("expected");
        const QString fallback = QStringLiteral("Task E621E1F8");
        QTest::newRow("trimmed title") << QByteArray(R"({"title":"  Fix login  ","prompt":"x"})") << "Fix login";
        QTest::newRow("blank title wins over prompt")
            << QByteArray(R"({"title":"   ","prompt":"Fix login"})") << fallback;
        QTest::newRow("null title takes prompt")
            << QByteArray(R"({"title":null,"prompt":"Fix login\n"})") << "Fix login";
        QTest::newRow("two-line prompt") << QByteArray(R"({"prompt":"one\ntwo"})") << "one\ntwo";
        QTest::newRow("number title, lenient prompt")
            << QByteArray(R"({"title":5,"prompt":"Fix login"})") << "Fix login";
        QTest::newRow("array title, no prompt") << QByteArray(R"({"title":["a"]})") << fallback;
        QTest::newRow("empty bytes") << QByteArray() << fallback;
        QTest::newRow("malformed") << QByteArray("{\"title\":") << fallback;
        QTest::newRow("top-level array") << QByteArray(R"(["Fix"])") << fallback;
        QTest::newRow("top-level string") << QByteArray(R"("Fix")") << fallback;
    }
    void title()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, expected);
        QCOMPARE(TaskInputSummaryParser::title(input, kTaskID), expected);
    }

    void fallbackIsUpperCaseFirstGroup()
    {
        const QUuid id(QStringLiteral("0a1b2c3d-0000-4000-8000-000000000000"));
        QCOMPARE(TaskInputSummaryParser::title({}, id), QStringLiteral("Task 0A1B2C3D"));
    }

    void submitter_data()
    {
        QTest::addColumn<QByteArray>("metadata");
        QTest::addColumn<QString>("expected"); // empty: none
        QTest::newRow("trimmed") << QByteArray(R"({"submitter_username":"  ada "})") << "ada";
        QTest::newRow("blank") << QByteArray(R"({"submitter_username":"   "})") << "";
        QTest::newRow("number") << QByteArray(R"({"submitter_username":5})") << "";
        QTest::newRow("missing") << QByteArray("{}") << "";
        QTest::newRow("empty") << QByteArray() << "";
        QTest::newRow("malformed") << QByteArray("{") << "";
    }
    void submitter()
    {
        QFETCH(QByteArray, metadata);
        QFETCH(QString, expected);
        QCOMPARE(TaskSubmitterUsernameParser::username(metadata).value_or(QString()), expected);
    }

    void cardBorder_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("output"); // empty: none
        QTest::addColumn<QString>("border");
        QTest::newRow("completed, exit 0") << int(BL_TaskStatus::completed) << shellResult(0) << "green";
        QTest::newRow("completed, exit 2") << int(BL_TaskStatus::completed) << shellResult(2) << "red";
        QTest::newRow("completed, exit -1") << int(BL_TaskStatus::completed) << shellResult(-1) << "red";
        QTest::newRow("completed, no output") << int(BL_TaskStatus::completed) << QByteArray() << "green";
        QTest::newRow("completed, other output")
            << int(BL_TaskStatus::completed) << QByteArray(R"({"a":1})") << "green";
        QTest::newRow("exit code beyond 32 bits")
            << int(BL_TaskStatus::completed)
            << QByteArray(R"({"command":"x","exitCode":4294967298,"stderr":"","stdout":""})") << "green";
        QTest::newRow("failed, exit 0") << int(BL_TaskStatus::failed) << shellResult(0) << "red";
        QTest::newRow("queued, exit 2") << int(BL_TaskStatus::queued) << shellResult(2) << "gray";
        QTest::newRow("backlog") << int(BL_TaskStatus::backlog) << QByteArray() << "gray";
        QTest::newRow("in progress") << int(BL_TaskStatus::inProgress) << QByteArray() << "glow";
    }
    void cardBorder()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, output);
        QFETCH(QString, border);
        const BL_Task task
            = taskWith(BL_TaskStatus(status), output.isEmpty() ? std::nullopt : std::optional<QByteArray>(output));
        QCOMPARE(TaskCardRules::borderColorName(task, TaskCardRenderModel(task)), border);
    }

    void staleness_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<double>("age");
        QTest::addColumn<bool>("stale");
        QTest::newRow("900 s") << int(BL_TaskStatus::inProgress) << 900.0 << false;
        QTest::newRow("901 s") << int(BL_TaskStatus::inProgress) << 901.0 << true;
        QTest::newRow("queued, old") << int(BL_TaskStatus::queued) << 5000.0 << false;
    }
    void staleness()
    {
        QFETCH(int, status);
        QFETCH(double, age);
        QFETCH(bool, stale);
        BL_Task task = taskWith(BL_TaskStatus(status));
        const TimePoint now = TimePoint::fromReferenceSeconds(800000000);
        task.taskLastActivityDate = now.addSeconds(-age);
        QCOMPARE(TaskCardRules::isPotentiallyStale(task, now), stale);
    }

    void diffPill()
    {
        QTemporaryDir dir;
        const QString patch = dir.filePath(QStringLiteral("a.patch"));
        TestSupport::writeFile(patch, "diff --git a/x b/x\n");
        for (BL_TaskStatus status : allTaskStatuses()) {
            const BL_Task task = taskWith(status, std::nullopt, artifactMetadata(patch));
            const TaskCardRenderModel model(task);
            QVERIFY(model.hasReadableGitDiff);
            QCOMPARE(model.gitDiffSummary->linesAdded, 12);
            const bool finished = status == BL_TaskStatus::completed || status == BL_TaskStatus::failed;
            QCOMPARE(TaskCardRules::canOpenGitDiffFromCard(task, model), finished);
        }
        const BL_Task noSummary = taskWith(BL_TaskStatus::completed, std::nullopt, artifactMetadata(patch, false));
        QVERIFY(!TaskCardRules::canOpenGitDiffFromCard(noSummary, TaskCardRenderModel(noSummary)));
        const BL_Task blank = taskWith(BL_TaskStatus::completed, std::nullopt, artifactMetadata(QStringLiteral("   ")));
        QVERIFY(!TaskCardRenderModel(blank).hasReadableGitDiff);
        QFile::remove(patch);
        const BL_Task gone = taskWith(BL_TaskStatus::completed, std::nullopt, artifactMetadata(patch));
        QVERIFY(!TaskCardRules::canOpenGitDiffFromCard(gone, TaskCardRenderModel(gone)));
    }

    void tagColors()
    {
        QCOMPARE(TaskCardRules::tagChipColorName(QStringLiteral("red")), QStringLiteral("red"));
        QCOMPARE(TaskCardRules::tagChipColorName(QStringLiteral("purple")), QStringLiteral("gray"));
        QCOMPARE(TaskCardRules::tagChipColorName(QString()), QStringLiteral("gray"));
    }

    void drops_data()
    {
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<int>("target");
        QTest::addColumn<QString>("expected");
        const QString queued = idOf(u'Q').toString(QUuid::WithoutBraces).toUpper();
        const QString backlog = idOf(u'B').toString(QUuid::WithoutBraces);
        const QString failed = idOf(u'F').toString(QUuid::WithoutBraces).toUpper();
        const int inProgress = int(BL_TaskStatus::inProgress);
        QTest::newRow("queued on in progress delegates") << QStringList {queued} << inProgress << "delegate Q";
        QTest::newRow("backlog on in progress moves") << QStringList {backlog} << inProgress << "move B";
        QTest::newRow("own column moves") << QStringList {queued} << int(BL_TaskStatus::queued) << "move Q";
        QTest::newRow("failed on Done completes") << QStringList {failed} << int(BL_TaskStatus::completed) << "move F";
        QTest::newRow("no items") << QStringList {} << inProgress << "refused";
        QTest::newRow("not a UUID") << QStringList {QStringLiteral("hello")} << inProgress << "refused";
        QTest::newRow("braced UUID") << QStringList {"{" + queued + "}"} << inProgress << "refused";
        QTest::newRow("other board's task")
            << QStringList {QUuid::createUuid().toString(QUuid::WithoutBraces)} << inProgress << "refused";
        QTest::newRow("only the first item") << QStringList {QStringLiteral("x"), queued} << inProgress << "refused";
    }
    void drops()
    {
        QFETCH(QStringList, items);
        QFETCH(int, target);
        QFETCH(QString, expected);
        QHash<QUuid, BL_Task> tasks;
        for (const BL_Task &task : {makeTask(u'Q', BL_TaskStatus::queued, 1), makeTask(u'B', BL_TaskStatus::backlog, 2),
                 makeTask(u'F', BL_TaskStatus::failed, 3)})
            tasks.insert(task.blID, task);
        const auto action = BoardRules::drop(items, BL_TaskStatus(target), tasks);
        QString got;
        switch (action.kind) {
        case BoardRules::DropAction::Kind::refused:
            got = QStringLiteral("refused");
            break;
        case BoardRules::DropAction::Kind::delegate:
            got = QStringLiteral("delegate ") + letterOf(action.taskID);
            break;
        case BoardRules::DropAction::Kind::move:
            got = QStringLiteral("move ") + letterOf(action.taskID);
            QCOMPARE(action.status, BL_TaskStatus(target));
            break;
        }
        QCOMPARE(got, expected);
    }

    void columns()
    {
        QCOMPARE(BoardRules::columnTitle(BL_TaskStatus::queued), QStringLiteral("Intake (Runs automatically)"));
        QCOMPARE(BoardRules::columnTitle(BL_TaskStatus::failed), QStringLiteral("Done"));
        QCOMPARE(BoardRules::columnStatuses(BL_TaskStatus::completed),
            (QList<BL_TaskStatus> {BL_TaskStatus::completed, BL_TaskStatus::failed}));
    }

    void conversationRows()
    {
        const QString a = QStringLiteral("aaaaaaaa-0000-4000-8000-000000000000");
        const QString b = QStringLiteral("BBBBBBBB-0000-4000-8000-000000000000");
        const QString c = QStringLiteral("cccccccc-0000-4000-8000-000000000000");
        // 10:00:02, 10:00:00, 10:00:01 and a tie broken by upper-case id.
        const QList<BL_TaskConversationTurn> turns {turn(c, 2, QStringLiteral("third")),
            turn(b, 0, QStringLiteral("second")), turn(a, 0, QStringLiteral("first")),
            turn(QUuid::createUuid().toString(), 1, QStringLiteral("middle"))};
        const auto rows = TaskDetailPresentation::conversationRows(turns, QStringLiteral("\n  done \n"));
        QCOMPARE(rows.size(), 4);
        QCOMPARE(rows[0].content, QStringLiteral("first"));
        QCOMPARE(rows[1].content, QStringLiteral("second"));
        QCOMPARE(rows[2].content, QStringLiteral("middle"));
        QCOMPARE(rows[3].content, QStringLiteral("third\n\n[stdout log tail]\ndone"));

        QVERIFY(TaskDetailPresentation::conversationRows({}, QStringLiteral("log")).isEmpty());
        const auto blankTail = TaskDetailPresentation::conversationRows(turns, QStringLiteral(" \n "));
        QCOMPARE(blankTail.last().content, QStringLiteral("third"));
    }

    void historyOrder()
    {
        auto event = [](const QString &id, double seconds) {
            BL_TaskHistoryEvent result;
            result.id = QUuid(id);
            result.timestamp = TimePoint::fromReferenceSeconds(seconds);
            return result;
        };
        const auto sorted
            = TaskDetailPresentation::sortedHistory({event(QStringLiteral("aaaaaaaa-0000-4000-8000-000000000000"), 5),
                event(QStringLiteral("bbbbbbbb-0000-4000-8000-000000000000"), 5),
                event(QStringLiteral("cccccccc-0000-4000-8000-000000000000"), 9)});
        QCOMPARE(sorted[0].timestamp.referenceSeconds(), 9.0);
        QVERIFY(sorted[1].id.toString().contains(QStringLiteral("bbbbbbbb")));
        QVERIFY(sorted[2].id.toString().contains(QStringLiteral("aaaaaaaa")));
        BL_TaskHistoryEvent noDetail = event(QStringLiteral("aaaaaaaa-0000-4000-8000-000000000000"), 0);
        noDetail.type = BL_EventType::taskMoved;
        QVERIFY(TaskDetailPresentation::historyLine(noDetail).endsWith(QStringLiteral(" \u2022 taskMoved \u2022 -")));
    }

    void sizing_data()
    {
        QTest::addColumn<double>("parent");
        QTest::addColumn<double>("screen"); // 0: no screen
        QTest::addColumn<double>("sheet");
        QTest::addColumn<double>("bubble");
        QTest::newRow("800") << 800.0 << 1600.0 << 420.0 << 327.6;
        QTest::newRow("1100") << 1100.0 << 1600.0 << 484.0 << 377.52;
        QTest::newRow("2000") << 2000.0 << 1600.0 << 560.0 << 436.8;
        QTest::newRow("no parent, screen 1000") << 0.0 << 1000.0 << 440.0 << 343.2;
        QTest::newRow("no parent, no screen") << 0.0 << 0.0 << 560.0 << 436.8;
    }
    void sizing()
    {
        QFETCH(double, parent);
        QFETCH(double, screen);
        QFETCH(double, sheet);
        QFETCH(double, bubble);
        const std::optional<double> screenWidth = screen > 0 ? std::optional<double>(screen) : std::nullopt;
        QVERIFY(qFuzzyCompare(TaskDetailPresentation::sheetWidth(parent, screenWidth), sheet));
        QVERIFY(qFuzzyCompare(TaskDetailPresentation::maxConversationBubbleWidth(parent, screenWidth), bubble));
    }

    void heights()
    {
        QCOMPARE(TaskDetailPresentation::sheetHeightRange(700.0), (std::pair<double, double> {760, 760}));
        QCOMPARE(TaskDetailPresentation::sheetHeightRange(1000.0), (std::pair<double, double> {760, 940}));
        QCOMPARE(TaskDetailPresentation::sheetHeightRange(std::nullopt), (std::pair<double, double> {760, 902.4}));
    }

    void links_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("html");
        QTest::newRow("https link, sentence dot stays text")
            << "See https://example.com/a?b=1&c=2."
            << R"(See <a href="https://example.com/a?b=1&amp;c=2" style="color:#0a84ff;text-decoration:underline;">https://example.com/a?b=1&amp;c=2</a>.)";
        QTest::newRow("markup escaped") << "<b>hi</b> & \"x\""
                                        << "&lt;b&gt;hi&lt;/b&gt; &amp; &quot;x&quot;";
        QTest::newRow("file address stays text") << "file:///etc/passwd"
                                                 << "file:///etc/passwd";
        QTest::newRow("javascript stays text") << "javascript:alert(1)"
                                               << "javascript:alert(1)";
        QTest::newRow("line breaks") << "a\nb"
                                     << "a<br>b";
        QTest::newRow("quote cannot break out")
            << "http://x.test/\"onmouseover=\"alert(1)"
            << R"(<a href="http://x.test/" style="color:#0a84ff;text-decoration:underline;">http://x.test/</a>&quot;onmouseover=&quot;alert(1))";
    }
    void links()
    {
        QFETCH(QString, text);
        QFETCH(QString, html);
        QCOMPARE(TaskDetailPresentation::linkifiedHtml(text), html);
    }

    void downloadReplacesAndFailsSafely()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("log"));
        const QString folder = dir.filePath(QStringLiteral("Downloads/deeper"));
        TestSupport::writeFile(source, "first\n");
        auto first = TaskDetailPresentation::downloadStdoutLog(source, folder, kTaskID);
        QVERIFY(first.ok);
        QCOMPARE(first.targetPath, folder + QStringLiteral("/e621e1f8-c36c-495a-93fc-0c247a3e6e5f.stdout.log"));
        QCOMPARE(first.message, QStringLiteral("Saved to ") + first.targetPath);
        TestSupport::writeFile(source, "second\n");
        QVERIFY(TaskDetailPresentation::downloadStdoutLog(source, folder, kTaskID).ok);
        QCOMPARE(readAll(first.targetPath), QByteArray("second\n"));

        // A missing source costs nothing of the earlier copy.
        QFile::remove(source);
        auto missing = TaskDetailPresentation::downloadStdoutLog(source, folder, kTaskID);
        QVERIFY(!missing.ok);
        QVERIFY(missing.message.startsWith(QStringLiteral("Download failed: ")));
        QCOMPARE(readAll(first.targetPath), QByteArray("second\n"));

        // A folder in the way of the target.
        TestSupport::writeFile(source, "third\n");
        const QString otherFolder = dir.filePath(QStringLiteral("blocked"));
        QDir().mkpath(otherFolder + QStringLiteral("/e621e1f8-c36c-495a-93fc-0c247a3e6e5f.stdout.log"));
        auto blocked = TaskDetailPresentation::downloadStdoutLog(source, otherFolder, kTaskID);
        QVERIFY(!blocked.ok);
        QVERIFY(blocked.message.startsWith(QStringLiteral("Download failed: ")));
    }
};

QTEST_GUILESS_MAIN(TestTaskPresentation)
#include "tst_taskpresentation.moc"
