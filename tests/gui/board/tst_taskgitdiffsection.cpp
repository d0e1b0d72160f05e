#include "TestSupport.h"
#include "board/GitDiffView.h"
#include "board/PillLabel.h"
#include "board/TaskGitDiffSection.h"
#include "shell/DarkAppearance.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QtTest>
#include <sys/stat.h>

namespace {

const QUuid kProjectID("{6f1c2a9e-3b7d-4c1e-9a52-0d8e7f6a5b4c}");
const QUuid kTaskID("{0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d}");
const QByteArray kPatch = "diff --git a/a.txt b/a.txt\n--- a/a.txt\n+++ b/a.txt\n@@ -1 +1 @@\n-a\n+b\n";

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

BL_Task makeTask(BL_TaskStatus status, const std::optional<BL_TaskGitDiffArtifact> &artifact)
{
    BL_Task task;
    task.blID = kTaskID;
    task.projectID = kProjectID;
    task.status = status;
    task.metadata = BL_TaskGitDiffArtifact::encode(artifact, QByteArrayLiteral("{}"));
    return task;
}

QString visibleText(const QWidget *root, const QString &name)
{
    const auto *label = root->findChild<QLabel *>(name);
    return label && label->isVisible() ? label->text() : QStringLiteral("<hidden>");
}

QStringList pills(const QWidget *root)
{
    QStringList texts;
    for (const char *name : {"filesChangedPill", "linesAddedPill", "linesRemovedPill"}) {
        if (const auto *pill = root->findChild<PillLabel *>(name))
            texts << pill->text();
    }
    return texts;
}

} // namespace

class TaskGitDiffSectionTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_data;
    TaskGitCheckpointService service() const { return TaskGitCheckpointService(m_data.path()); }
    QString ownPath() const { return service().patchFilePath(kProjectID, kTaskID); }

    BL_TaskGitDiffArtifact artifact(BL_TaskGitDiffState state, std::optional<QString> path = std::nullopt) const
    {
        BL_TaskGitDiffArtifact result;
        result.state = state;
        result.diffFilePath = path;
        return result;
    }

private slots:
    void initTestCase() { DarkAppearance::apply(*qApp); }

    void init()
    {
        QFile::remove(ownPath());
        QDir(ownPath()).removeRecursively();
    }

    void showsTheRightLine_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<std::optional<BL_TaskGitDiffArtifact>>("stored");
        QTest::addColumn<QString>("entry"); // what lies at the task's own patch path
        QTest::addColumn<bool>("shown");
        QTest::addColumn<QString>("line"); // "<button>" when the open button shows
        QTest::addColumn<QStringList>("pills");

        const auto own = ownPath();
        const QString notFound = QStringLiteral("Git diff captured, but the patch file was not found.");
        BL_TaskGitDiffArtifact ready = artifact(BL_TaskGitDiffState::ready, own);
        ready.summary = BL_TaskGitDiffSummary {3, 0, 1};
        BL_TaskGitDiffArtifact failed = artifact(BL_TaskGitDiffState::failed, own);
        failed.errorMessage = QStringLiteral("git exploded");
        BL_TaskGitDiffArtifact unavailable = artifact(BL_TaskGitDiffState::unavailable);
        unavailable.errorMessage = QStringLiteral("Not a git repository.");
        BL_TaskGitDiffArtifact emptyMessage = unavailable;
        emptyMessage.errorMessage = QString();
        BL_TaskGitDiffArtifact blank = artifact(BL_TaskGitDiffState::ready, QStringLiteral("   "));
        BL_TaskGitDiffArtifact foreign = artifact(BL_TaskGitDiffState::ready, m_data.filePath("elsewhere.patch"));
        const int completed = int(BL_TaskStatus::completed);
        using Stored = std::optional<BL_TaskGitDiffArtifact>;

        QTest::newRow("completed, no artifact")
            << completed << Stored() << "" << true << "No git diff has been captured for this task." << QStringList();
        QTest::newRow("in progress, no artifact") << int(BL_TaskStatus::inProgress) << Stored() << "" << true
                                                  << "Git checkpointing in progress." << QStringList();
        QTest::newRow("queued, no artifact") << int(BL_TaskStatus::queued) << Stored() << "" << false
                                             << "No git diff has been captured for this task." << QStringList();
        QTest::newRow("pending") << int(BL_TaskStatus::inProgress) << Stored(artifact(BL_TaskGitDiffState::pending))
                                 << "" << true << "Git checkpointing in progress." << QStringList();
        QTest::newRow("ready with its file")
            << completed << Stored(ready) << "file" << true << "<button>" << QStringList {"1 files", "+3", "-0"};
        QTest::newRow("ready, file deleted")
            << completed << Stored(ready) << "" << true << notFound << QStringList {"1 files", "+3", "-0"};
        QTest::newRow("failed but the file exists")
            << completed << Stored(failed) << "file" << true << "<button>" << QStringList();
        QTest::newRow("unavailable with message")
            << completed << Stored(unavailable) << "" << true << "Not a git repository." << QStringList();
        QTest::newRow("unavailable without message") << completed << Stored(artifact(BL_TaskGitDiffState::unavailable))
                                                     << "" << true << "Git diff unavailable." << QStringList();
        QTest::newRow("unavailable with empty message")
            << completed << Stored(emptyMessage) << "" << true << "" << QStringList();
        QTest::newRow("blank path") << completed << Stored(blank) << "file" << true << notFound << QStringList();
        QTest::newRow("foreign path") << completed << Stored(foreign) << "foreign" << true << notFound << QStringList();
        QTest::newRow("folder at the path")
            << completed << Stored(ready) << "folder" << true << notFound << QStringList {"1 files", "+3", "-0"};
        QTest::newRow("FIFO at the path")
            << completed << Stored(ready) << "fifo" << true << notFound << QStringList {"1 files", "+3", "-0"};
    }

    void showsTheRightLine()
    {
        QFETCH(int, status);
        QFETCH(std::optional<BL_TaskGitDiffArtifact>, stored);
        QFETCH(QString, entry);
        QFETCH(bool, shown);
        QFETCH(QString, line);
        QFETCH(QStringList, pills);
        if (entry == QLatin1String("file")) {
            writeFile(ownPath(), kPatch);
        } else if (entry == QLatin1String("foreign")) {
            writeFile(m_data.filePath("elsewhere.patch"), kPatch);
        } else if (entry == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(ownPath()));
        } else if (entry == QLatin1String("fifo")) {
            QDir().mkpath(QFileInfo(ownPath()).path());
            QCOMPARE(::mkfifo(QFile::encodeName(ownPath()).constData(), 0600), 0);
        }
        const BL_Task task = makeTask(BL_TaskStatus(status), stored);
        QCOMPARE(TaskGitDiffSection::isShown(task, BL_TaskGitDiffArtifact::decode(task.metadata)), shown);

        TaskGitDiffSection section(service(), task);
        section.show();
        QVERIFY(QTest::qWaitForWindowExposed(&section));
        QCOMPARE(visibleText(&section, "gitDiffTitle"), QStringLiteral("Git Diff"));
        QCOMPARE(::pills(&section), pills);
        auto *button = section.findChild<QAbstractButton *>("openDiffViewerButton");
        if (line == QLatin1String("<button>")) {
            QVERIFY(button->isVisible());
            QCOMPARE(button->text(), QStringLiteral("Open Diff Viewer"));
            QCOMPARE(visibleText(&section, "gitDiffStatusLabel"), QStringLiteral("<hidden>"));
        } else {
            QVERIFY(!button->isVisible());
            QCOMPARE(visibleText(&section, "gitDiffStatusLabel"), line);
        }
        QCOMPARE(visibleText(&section, "gitDiffErrorLabel"), QStringLiteral("<hidden>"));
        QFile::remove(ownPath());
        QDir(ownPath()).removeRecursively();
    }

    void statusFollowsTheTaskAtOnceTheArtifactAtRefresh()
    {
        TaskGitDiffSection section(service(), makeTask(BL_TaskStatus::inProgress, std::nullopt));
        section.show();
        QCOMPARE(visibleText(&section, "gitDiffStatusLabel"), QStringLiteral("Git checkpointing in progress."));
        BL_TaskGitDiffArtifact ready = artifact(BL_TaskGitDiffState::ready, ownPath());
        ready.summary = BL_TaskGitDiffSummary {1, 2, 3};
        writeFile(ownPath(), kPatch);
        section.setTask(makeTask(BL_TaskStatus::completed, ready));
        QCOMPARE(visibleText(&section, "gitDiffStatusLabel"),
            QStringLiteral("No git diff has been captured for this task."));
        section.refresh();
        QVERIFY(section.findChild<QAbstractButton *>("openDiffViewerButton")->isVisible());
        QCOMPARE(::pills(&section), (QStringList {"3 files", "+1", "-2"}));
    }

    void opensTheViewerOrSaysWhyNot_data()
    {
        QTest::addColumn<QByteArray>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("invalid UTF-8") << QByteArray(
            "utf8") << QStringLiteral("Unable to open patch: The patch file is not valid UTF-8 text.");
        QTest::newRow("over the cap") << QByteArray("huge")
                                      << QStringLiteral("Unable to open patch: The patch file is 67108865 bytes long, "
                                                        "more than the 64 MiB that can be shown.");
    }

    void opensTheViewerOrSaysWhyNot()
    {
        QFETCH(QByteArray, kind);
        QFETCH(QString, message);
        if (kind == "utf8") {
            QFile fixture(TestSupport::fixturesPath(QStringLiteral("gitdiff/non-utf8.patch")));
            QVERIFY(fixture.open(QIODevice::ReadOnly));
            writeFile(ownPath(), fixture.readAll());
        } else {
            writeFile(ownPath(), kPatch);
            QFile file(ownPath());
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.resize(TaskGitCheckpointService::kMaxPatchBytes + 1));
        }
        QWidget window;
        window.resize(900, 600);
        auto *section = new TaskGitDiffSection(
            service(), makeTask(BL_TaskStatus::completed, artifact(BL_TaskGitDiffState::ready, ownPath())), &window);
        section->setParentWindowContentWidth(1000.0);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *button = section->findChild<QAbstractButton *>("openDiffViewerButton");

        QSignalSpy finished(section, &TaskGitDiffSection::openFinished);
        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
        QCOMPARE(section->gitDiffViewerErrorMessage(), std::optional<QString>(message));
        QCOMPARE(visibleText(section, "gitDiffErrorLabel"), message);
        QVERIFY(!section->isDiffViewerPresented());
        QVERIFY(button->isVisible());

        // Fixed on disk: the next press opens the viewer and clears the message.
        writeFile(ownPath(), kPatch);
        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 10000);
        QVERIFY(section->isDiffViewerPresented());
        QCOMPARE(section->gitDiffViewerErrorMessage(), std::nullopt);
        QCOMPARE(visibleText(section, "gitDiffErrorLabel"), QStringLiteral("<hidden>"));
        QCOMPARE(section->diffText(), QString::fromUtf8(kPatch));
        GitDiffView *viewer = section->diffViewer();
        QCOMPARE(viewer->parentWidget(), &window);
        QCOMPARE(viewer->declaredSize(), GitDiffView::sheetSize(1000.0, std::nullopt));
        QVERIFY(QTest::qWaitForWindowExposed(viewer));
        QCOMPARE(viewer->parsedDiff().files.size(), 1);

        // Escape asks the section, which takes the viewer down.
        QPointer<GitDiffView> guard(viewer);
        QTest::keyClick(viewer, Qt::Key_Escape);
        QVERIFY(!section->isDiffViewerPresented());
        QTRY_VERIFY(!guard);
        QVERIFY(button->isVisible());
    }

    void refreshClearsTheError()
    {
        QFile fixture(TestSupport::fixturesPath(QStringLiteral("gitdiff/non-utf8.patch")));
        QVERIFY(fixture.open(QIODevice::ReadOnly));
        writeFile(ownPath(), fixture.readAll());
        TaskGitDiffSection section(
            service(), makeTask(BL_TaskStatus::completed, artifact(BL_TaskGitDiffState::ready, ownPath())));
        section.show();
        QSignalSpy finished(&section, &TaskGitDiffSection::openFinished);
        section.openGitDiffViewer();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
        QVERIFY(section.gitDiffViewerErrorMessage());
        section.refresh();
        QCOMPARE(section.gitDiffViewerErrorMessage(), std::nullopt);
        QCOMPARE(visibleText(&section, "gitDiffErrorLabel"), QStringLiteral("<hidden>"));
    }
};

QTEST_MAIN(TaskGitDiffSectionTest)
#include "tst_taskgitdiffsection.moc"
