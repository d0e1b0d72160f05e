#include "TestSupport.h"
#include "common/ProcessRunner.h"
#include "common/UuidText.h"
#include "storage/TaskGitCheckpointService.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <functional>
#include <sys/stat.h>

namespace {

const QUuid kProjectID("{6f1c2a9e-3b7d-4c1e-9a52-0d8e7f6a5b4c}");
const QUuid kTaskID("{0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D}");
const QString kTaskText = QStringLiteral("0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d");

ProcessResult runGitHere(const QString &repository, const QStringList &arguments)
{
    ProcessRequest request;
    request.program = QStringLiteral("git");
    request.arguments = QStringList {QStringLiteral("-C"), repository} + arguments;
    return ProcessRunner::runBlocking(request);
}

// Git's output; a failing command ends the test run.
QByteArray git(const QString &repository, const QStringList &arguments)
{
    const ProcessResult result = runGitHere(repository, arguments);
    if (!result.succeeded())
        qFatal("git %s failed: %s", qPrintable(arguments.join(u' ')), result.standardError.constData());
    return result.standardOutput;
}

using TestSupport::writeFile;

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return file.readAll();
}

// Every file below a folder with its content, to tell that nothing changed.
QMap<QString, QByteArray> snapshot(const QString &folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(path, readFile(path));
    }
    return files;
}

QString canonical(const QString &path)
{
    return QFileInfo(path).canonicalFilePath();
}

} // namespace

class TaskGitCheckpointServiceTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_scratch;
    QString m_tmp; // the temporary folder the service's indexes go to
    QString m_data; // the application data folder of the current test
    int m_traces = 0;
    int m_tests = 0;

    QString makeRepository(const QString &name)
    {
        const QString path = m_scratch.filePath(name);
        QDir().mkpath(path);
        git(path, {"init", "-q", "-b", "main"});
        git(path, {"config", "user.name", "Test Person"});
        git(path, {"config", "user.email", "test@example.com"});
        git(path, {"config", "commit.gpgsign", "false"});
        return canonical(path);
    }

    QString commitAll(const QString &repository, const QString &message)
    {
        git(repository, {"add", "-A"});
        git(repository, {"commit", "-q", "-m", message});
        return QString::fromUtf8(git(repository, {"rev-parse", "HEAD"}).trimmed());
    }

    // The git commands (without "git") that `run` starts, in order.
    QStringList traced(const std::function<void()> &run)
    {
        const QString path = m_scratch.filePath(QStringLiteral("trace-%1.log").arg(++m_traces));
        qputenv("GIT_TRACE", path.toUtf8());
        run();
        qunsetenv("GIT_TRACE");
        QStringList commands;
        const QByteArray marker = "trace: built-in: git ";
        for (const QByteArray &line : readFile(path).split('\n')) {
            const qsizetype at = line.indexOf(marker);
            if (at >= 0)
                commands.append(QString::fromUtf8(line.mid(at + marker.size())));
        }
        return commands;
    }

    TaskGitCheckpointService service() const { return TaskGitCheckpointService(m_data); }

    static TaskGitCheckpointService::CaptureContext context(const QString &root) { return {kProjectID, kTaskID, root}; }

    QString expectedPatchPath() const
    {
        return m_data + QStringLiteral("/task-logs/6f1c2a9e-3b7d-4c1e-9a52-0d8e7f6a5b4c/") + kTaskText
            + QStringLiteral(".git.diff.patch");
    }

    bool temporaryFolderIsEmpty() const
    {
        return QDir(m_tmp).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty();
    }

    BL_TaskGitDiffArtifact pendingBefore(const QString &repository)
    {
        const auto artifact = service().captureBefore(context(repository));
        if (artifact.state != BL_TaskGitDiffState::pending)
            qFatal("before capture failed: %s", qPrintable(artifact.errorMessage.value_or(QString())));
        return artifact;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_scratch.isValid());
        m_tmp = m_scratch.filePath(QStringLiteral("tmp"));
        QVERIFY(QDir().mkpath(m_tmp));
        qputenv("TMPDIR", m_tmp.toUtf8());
        // Git sees only the test repositories' own configuration (HOME is a
        // fresh folder already) and never looks above the scratch folder.
        qputenv("GIT_CONFIG_NOSYSTEM", "1");
        qputenv("GIT_CEILING_DIRECTORIES", canonical(m_scratch.path()).toUtf8());
        for (const char *name : {"GIT_DIR", "GIT_WORK_TREE", "GIT_INDEX_FILE", "GIT_AUTHOR_NAME", "GIT_AUTHOR_EMAIL",
                 "GIT_COMMITTER_NAME", "GIT_COMMITTER_EMAIL", "EMAIL"})
            qunsetenv(name);
    }

    void init() { m_data = m_scratch.filePath(QStringLiteral("data-%1").arg(++m_tests)); }

    void checkpointsGiveReadyArtifactAndPatch()
    {
        const QString repo = makeRepository(QStringLiteral("main-repo"));
        writeFile(repo + QStringLiteral("/a.txt"), "one\ntwo\n");
        writeFile(repo + QStringLiteral("/.gitignore"), "*.log\n");
        writeFile(repo + QStringLiteral("/bin.dat"), QByteArray("\x00\x01\x02\x03", 4));
        writeFile(repo + QStringLiteral("/sub/keep.txt"), "keep\n");
        const QString head = commitAll(repo, QStringLiteral("initial"));

        // The user has a staged change, and the index's stat data is stale so
        // a plain status would rewrite it.
        writeFile(repo + QStringLiteral("/a.txt"), "one\ntwo\nstaged\n");
        git(repo, {"add", "a.txt"});
        {
            QFile touched(repo + QStringLiteral("/a.txt"));
            QVERIFY(touched.open(QIODevice::ReadWrite));
            QVERIFY(
                touched.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-3600), QFileDevice::FileModificationTime));
        }
        const QByteArray indexBefore = readFile(repo + QStringLiteral("/.git/index"));
        const QByteArray refsBefore = git(repo, {"for-each-ref"});

        // The workspace is a folder inside the repository.
        const auto ctx = context(repo + QStringLiteral("/sub"));
        BL_TaskGitDiffArtifact before;
        const QStringList beforeCommands = traced([&] { before = service().captureBefore(ctx); });

        QCOMPARE(before.state, BL_TaskGitDiffState::pending);
        QCOMPARE(before.repositoryRootPath, std::optional<QString>(repo));
        QVERIFY(before.isExact);
        QVERIFY(before.before && !before.after && !before.diffFilePath && !before.summary && !before.errorMessage);
        QCOMPARE(before.before->headCommit, std::optional<QString>(head));
        QVERIFY(before.before->workingTreeDirty);
        const QString beforeCommit = before.before->syntheticCommit;
        QVERIFY(TaskGitCheckpointService::isObjectName(beforeCommit));
        QCOMPARE(git(repo, {"show", "-s", "--format=%P%n%B", beforeCommit}).trimmed(),
            (head + QStringLiteral("\ntessaron task before ") + kTaskText).toUtf8());
        QCOMPARE(git(repo, {"show", beforeCommit + QStringLiteral(":a.txt")}), QByteArray("one\ntwo\nstaged\n"));
        const QString beforeTree = QString::fromUtf8(git(repo, {"rev-parse", beforeCommit + "^{tree}"}).trimmed());
        QCOMPARE(beforeCommands,
            (QStringList {QStringLiteral("rev-parse --show-toplevel"), QStringLiteral("rev-parse HEAD"),
                QStringLiteral("status --porcelain=v1 --untracked-files=all"), QStringLiteral("read-tree ") + head,
                QStringLiteral("add -A -- ."), QStringLiteral("write-tree"),
                QStringLiteral("commit-tree %1 -m 'tessaron task before %2' -p %3").arg(beforeTree, kTaskText, head)}));

        // The task's work: an edit, a new file, an ignored file, a binary
        // change, a patch far larger than a pipe's buffer, and a staged file.
        writeFile(repo + QStringLiteral("/a.txt"), "one\nchanged\nstaged\n");
        writeFile(repo + QStringLiteral("/sub/new.txt"), "new\n");
        writeFile(repo + QStringLiteral("/debug.log"), "ignored\n");
        writeFile(repo + QStringLiteral("/bin.dat"), QByteArray("\x00\x09\x08\x07\x06", 5));
        QByteArray big;
        for (int i = 0; i < 20000; ++i)
            big += "line " + QByteArray::number(i) + '\n';
        writeFile(repo + QStringLiteral("/big.txt"), big);
        git(repo, {"add", "sub/new.txt"});
        const QByteArray indexDuring = readFile(repo + QStringLiteral("/.git/index"));

        BL_TaskGitDiffArtifact after;
        const QStringList afterCommands = traced([&] { after = service().captureAfter(ctx, before); });

        QCOMPARE(after.state, BL_TaskGitDiffState::ready);
        QVERIFY2(!after.errorMessage, qPrintable(after.errorMessage.value_or(QString())));
        QCOMPARE(after.repositoryRootPath, std::optional<QString>(repo));
        QCOMPARE(after.before, before.before);
        QVERIFY(after.after && after.isExact);
        const QString afterCommit = after.after->syntheticCommit;
        QCOMPARE(after.after->headCommit, std::optional<QString>(head));
        QCOMPARE(after.diffFilePath, std::optional<QString>(expectedPatchPath()));
        QCOMPARE(after.summary, std::optional<BL_TaskGitDiffSummary>(BL_TaskGitDiffSummary {20002, 1, 4}));
        QCOMPARE(git(repo, {"show", "-s", "--format=%P%n%B", afterCommit}).trimmed(),
            (head + QStringLiteral("\ntessaron task after ") + kTaskText).toUtf8());

        const QByteArray patch = readFile(expectedPatchPath());
        QCOMPARE(patch,
            git(repo, {"diff", "--no-ext-diff", "--binary", "--patch", "--find-renames", beforeCommit, afterCommit}));
        QVERIFY(patch.size() > 200000);
        QVERIFY(patch.contains("diff --git a/sub/new.txt b/sub/new.txt\nnew file mode"));
        QVERIFY(patch.contains("GIT binary patch"));
        QVERIFY(!patch.contains("debug.log"));
        QVERIFY(!patch.contains("staged\n-")); // staging is not a change of the working tree

        const QString afterTree = QString::fromUtf8(git(repo, {"rev-parse", afterCommit + "^{tree}"}).trimmed());
        QCOMPARE(afterCommands,
            (QStringList {QStringLiteral("rev-parse --show-toplevel"), QStringLiteral("rev-parse HEAD"),
                QStringLiteral("status --porcelain=v1 --untracked-files=all"), QStringLiteral("read-tree ") + head,
                QStringLiteral("add -A -- ."), QStringLiteral("write-tree"),
                QStringLiteral("commit-tree %1 -m 'tessaron task after %2' -p %3").arg(afterTree, kTaskText, head),
                QStringLiteral("diff --no-ext-diff --binary --patch --find-renames %1 %2")
                    .arg(beforeCommit, afterCommit),
                QStringLiteral("diff --numstat %1 %2").arg(beforeCommit, afterCommit)}));

        // The user's index, refs and HEAD are as they were; the temporary
        // indexes are gone and the patch lies alone in the logs folder.
        QCOMPARE(readFile(repo + QStringLiteral("/.git/index")), indexDuring);
        QVERIFY(indexBefore != indexDuring); // the test's own "git add" did change it
        QCOMPARE(git(repo, {"for-each-ref"}), refsBefore);
        QCOMPARE(git(repo, {"rev-parse", "HEAD"}).trimmed(), head.toUtf8());
        QVERIFY(temporaryFolderIsEmpty());
        QCOMPARE(QDir(QFileInfo(expectedPatchPath()).path())
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList {QFileInfo(expectedPatchPath()).fileName()});

        QCOMPARE(service().offeredPatchPath(kProjectID, kTaskID, after), std::optional<QString>(expectedPatchPath()));
        const PatchRead read = service().readPatch(kProjectID, kTaskID, after);
        QVERIFY(read.ok());
        QCOMPARE(read.text(), QString::fromUtf8(patch));
    }

    void statusLeavesTheUserIndexAlone()
    {
        // A plain "git status" would refresh the stale stat data and rewrite
        // the index (taking its lock); the checkpoint's status must not.
        const QString repo = makeRepository(QStringLiteral("stale-index"));
        writeFile(repo + QStringLiteral("/a.txt"), "a\n");
        commitAll(repo, QStringLiteral("initial"));
        QFile touched(repo + QStringLiteral("/a.txt"));
        QVERIFY(touched.open(QIODevice::ReadWrite));
        QVERIFY(touched.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-7200), QFileDevice::FileModificationTime));
        touched.close();
        const QByteArray index = readFile(repo + QStringLiteral("/.git/index"));

        const auto before = service().captureBefore(context(repo));
        QCOMPARE(before.state, BL_TaskGitDiffState::pending);
        QVERIFY(!before.before->workingTreeDirty);
        QCOMPARE(readFile(repo + QStringLiteral("/.git/index")), index);
        QVERIFY(!QFileInfo::exists(repo + QStringLiteral("/.git/index.lock")));
    }

    void repositoryWithoutCommits()
    {
        const QString repo = makeRepository(QStringLiteral("no-commits"));
        writeFile(repo + QStringLiteral("/first.txt"), "1\n");
        BL_TaskGitDiffArtifact before;
        const QStringList commands = traced([&] { before = service().captureBefore(context(repo)); });
        QCOMPARE(before.state, BL_TaskGitDiffState::pending);
        QVERIFY(!before.before->headCommit);
        QVERIFY(before.before->workingTreeDirty);
        QVERIFY(!commands.join(u'\n').contains(QStringLiteral("read-tree")));
        QVERIFY(!commands.last().contains(QStringLiteral(" -p ")));
        QCOMPARE(git(repo, {"show", "-s", "--format=%P", before.before->syntheticCommit}).trimmed(), QByteArray());

        writeFile(repo + QStringLiteral("/second.txt"), "2\n2\n");
        const auto after = service().captureAfter(context(repo), before);
        QCOMPARE(after.state, BL_TaskGitDiffState::ready);
        QCOMPARE(after.summary, std::optional<BL_TaskGitDiffSummary>(BL_TaskGitDiffSummary {2, 0, 1}));
        QVERIFY(git(repo, {"branch", "--list"}).isEmpty());
        QVERIFY(temporaryFolderIsEmpty());
    }

    void folderOutsideAnyRepository()
    {
        const QString folder = m_scratch.filePath(QStringLiteral("plain-folder"));
        QVERIFY(QDir().mkpath(folder));
        writeFile(folder + QStringLiteral("/a.txt"), "a\n");

        const auto before = service().captureBefore(context(folder));
        BL_TaskGitDiffArtifact expected;
        expected.state = BL_TaskGitDiffState::unavailable;
        expected.isExact = false;
        expected.errorMessage = QStringLiteral("Workspace is not a Git repository.");
        QCOMPARE(before, expected);

        // An end capture carries a usable stored start checkpoint over.
        const QString otherRepo = makeRepository(QStringLiteral("elsewhere-for-plain"));
        writeFile(otherRepo + QStringLiteral("/x.txt"), "x\n");
        const auto stored = pendingBefore(otherRepo);
        const auto after = service().captureAfter(context(folder), stored);
        expected.before = stored.before;
        QCOMPARE(after, expected);

        QVERIFY(!QFileInfo::exists(m_data));
        QVERIFY(!QFileInfo::exists(folder + QStringLiteral("/.git")));

        // A relative or empty root never means "the current folder".
        QCOMPARE(service().captureBefore(context(QString())).state, BL_TaskGitDiffState::unavailable);
        QCOMPARE(service().captureBefore(context(QStringLiteral("."))).state, BL_TaskGitDiffState::unavailable);
    }

    void missingBeforeCheckpoint()
    {
        const QString repo = makeRepository(QStringLiteral("missing-before"));
        writeFile(repo + QStringLiteral("/a.txt"), "a\n");
        BL_TaskGitDiffArtifact stored;
        stored.state = BL_TaskGitDiffState::pending;
        stored.repositoryRootPath = repo;
        stored.isExact = true;

        BL_TaskGitDiffArtifact after;
        const QStringList commands = traced([&] { after = service().captureAfter(context(repo), stored); });
        BL_TaskGitDiffArtifact expected;
        expected.state = BL_TaskGitDiffState::failed;
        expected.repositoryRootPath = repo;
        expected.isExact = false;
        expected.errorMessage = QStringLiteral("Missing Git before-checkpoint; cannot compute task diff.");
        QCOMPARE(after, expected);
        // Only the workspace's own root is looked up; nothing is committed.
        QCOMPARE(commands, QStringList {QStringLiteral("rev-parse --show-toplevel")});
        QVERIFY(!QFileInfo::exists(expectedPatchPath()));
    }

    void storedFieldsNeverReachGit_data()
    {
        QTest::addColumn<QString>("commit"); // "valid" for the real start checkpoint
        QTest::addColumn<QString>("root"); // "other" for another real repository
        QTest::addColumn<int>("state");
        QTest::newRow("option as commit") << "--output=OUTPUT"
                                          << "" << int(BL_TaskGitDiffState::failed);
        QTest::newRow("option after a commit") << "valid --output=OUTPUT"
                                               << "" << int(BL_TaskGitDiffState::failed);
        QTest::newRow("upper-case commit") << "VALID"
                                           << "" << int(BL_TaskGitDiffState::failed);
        QTest::newRow("abbreviated commit") << "short"
                                            << "" << int(BL_TaskGitDiffState::failed);
        QTest::newRow("revision expression") << "HEAD~1"
                                             << "" << int(BL_TaskGitDiffState::failed);
        QTest::newRow("root is /") << "valid"
                                   << "/" << int(BL_TaskGitDiffState::ready);
        QTest::newRow("root is an option") << "valid"
                                           << "--output=OUTPUT" << int(BL_TaskGitDiffState::ready);
        QTest::newRow("root is another repository") << "valid"
                                                    << "other" << int(BL_TaskGitDiffState::ready);
    }
    void storedFieldsNeverReachGit()
    {
        QFETCH(QString, commit);
        QFETCH(QString, root);
        QFETCH(int, state);
        const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-');
        const QString repo = makeRepository(QStringLiteral("hostile-") + tag);
        writeFile(repo + QStringLiteral("/a.txt"), "a\n");
        commitAll(repo, QStringLiteral("initial"));
        const QString other = makeRepository(QStringLiteral("hostile-other-") + tag);
        writeFile(other + QStringLiteral("/o.txt"), "o\n");
        commitAll(other, QStringLiteral("other"));
        const QString output = m_scratch.filePath(QStringLiteral("output-") + tag);

        BL_TaskGitDiffArtifact stored = pendingBefore(repo);
        const QString valid = stored.before->syntheticCommit;
        commit.replace(QStringLiteral("OUTPUT"), output)
            .replace(QStringLiteral("VALID"), valid.toUpper())
            .replace(QStringLiteral("valid"), valid)
            .replace(QStringLiteral("short"), valid.left(12));
        stored.before->syntheticCommit = commit;
        stored.repositoryRootPath
            = root == QStringLiteral("other") ? other : root.replace(QStringLiteral("OUTPUT"), output);
        writeFile(repo + QStringLiteral("/a.txt"), "a\nb\n");
        const auto otherFiles = snapshot(other + QStringLiteral("/.git"));

        BL_TaskGitDiffArtifact after;
        const QStringList commands = traced([&] { after = service().captureAfter(context(repo), stored); });
        QCOMPARE(int(after.state), state);
        QCOMPARE(after.repositoryRootPath, std::optional<QString>(repo));
        if (after.state == BL_TaskGitDiffState::failed) {
            QCOMPARE(after.errorMessage,
                std::optional<QString>(QStringLiteral("Missing Git before-checkpoint; cannot compute task diff.")));
            QVERIFY(!after.before);
            QCOMPARE(commands, QStringList {QStringLiteral("rev-parse --show-toplevel")});
        } else {
            QCOMPARE(after.summary, std::optional<BL_TaskGitDiffSummary>(BL_TaskGitDiffSummary {1, 0, 1}));
        }
        QVERIFY(!commands.join(u'\n').contains(QStringLiteral("--output")));
        QVERIFY(!QFileInfo::exists(output));
        QCOMPARE(snapshot(other + QStringLiteral("/.git")), otherFiles);
    }

    void storedRootOfAnotherRepositoryIsNotCheckpointed()
    {
        // The workspace is no repository; the stored root names one.
        const QString folder = m_scratch.filePath(QStringLiteral("not-a-repo"));
        QVERIFY(QDir().mkpath(folder));
        const QString other = makeRepository(QStringLiteral("victim"));
        writeFile(other + QStringLiteral("/v.txt"), "v\n");
        commitAll(other, QStringLiteral("victim"));
        BL_TaskGitDiffArtifact stored = pendingBefore(other);
        const auto otherFiles = snapshot(other + QStringLiteral("/.git"));

        const auto after = service().captureAfter(context(folder), stored);
        QCOMPARE(after.state, BL_TaskGitDiffState::unavailable);
        QVERIFY(!after.repositoryRootPath);
        QCOMPARE(snapshot(other + QStringLiteral("/.git")), otherFiles);
    }

    void patchIsOfferedOnlyFromItsOwnPath()
    {
        const QString repo = makeRepository(QStringLiteral("offer"));
        writeFile(repo + QStringLiteral("/a.txt"), "a\n");
        commitAll(repo, QStringLiteral("initial"));
        const QString outside = m_scratch.filePath(QStringLiteral("secret.txt"));
        writeFile(outside, "secret\n");

        BL_TaskGitDiffArtifact stored = pendingBefore(repo);
        stored.diffFilePath = outside;
        QVERIFY(!service().offeredPatchPath(kProjectID, kTaskID, stored));
        QCOMPARE(service().readPatch(kProjectID, kTaskID, stored).error().kind, PatchReadError::Kind::missing);

        writeFile(repo + QStringLiteral("/a.txt"), "b\n");
        const auto after = service().captureAfter(context(repo), stored);
        QCOMPARE(after.diffFilePath, std::optional<QString>(expectedPatchPath()));
        QCOMPARE(readFile(outside), QByteArray("secret\n"));

        const QString own = expectedPatchPath();
        const QStringList refused {outside, own + QStringLiteral(".other"),
            QFileInfo(own).path() + QStringLiteral("/../") + UuidText::lower(kProjectID) + u'/'
                + QFileInfo(own).fileName(),
            QString(), QStringLiteral("  ")};
        for (const QString &path : refused) {
            BL_TaskGitDiffArtifact hostile = after;
            hostile.diffFilePath = path;
            QVERIFY2(!service().offeredPatchPath(kProjectID, kTaskID, hostile), qPrintable(path));
            const PatchRead read = service().readPatch(kProjectID, kTaskID, hostile);
            QVERIFY2(!read.ok(), qPrintable(path));
            QCOMPARE(read.error().kind, PatchReadError::Kind::missing);
            QCOMPARE(read.error().message, QStringLiteral("Unable to open patch: The patch file does not exist."));
        }
        // The own path, even with white space around it, but only for its own task.
        BL_TaskGitDiffArtifact padded = after;
        padded.diffFilePath = QStringLiteral(" ") + own + QStringLiteral("\n");
        QCOMPARE(service().offeredPatchPath(kProjectID, kTaskID, padded), std::optional<QString>(own));
        QVERIFY(!service().offeredPatchPath(kProjectID, QUuid::createUuid(), after));
    }

    void patchThatIsNotUtf8IsKeptByteForByte()
    {
        const QString repo = makeRepository(QStringLiteral("latin1"));
        writeFile(repo + QStringLiteral("/latin.txt"), "caf\xe9\n");
        commitAll(repo, QStringLiteral("initial"));
        const auto before = pendingBefore(repo);
        writeFile(repo + QStringLiteral("/latin.txt"), "caf\xe8s\n");

        const auto after = service().captureAfter(context(repo), before);
        QCOMPARE(after.state, BL_TaskGitDiffState::ready);
        QCOMPARE(after.summary, std::optional<BL_TaskGitDiffSummary>(BL_TaskGitDiffSummary {1, 1, 1}));
        const QByteArray expected = git(repo,
            {"diff", "--no-ext-diff", "--binary", "--patch", "--find-renames", before.before->syntheticCommit,
                after.after->syntheticCommit});
        QVERIFY(expected.contains("+caf\xe8s\n"));
        QCOMPARE(readFile(expectedPatchPath()), expected);
        // Kept as git wrote it, but not shown as text.
        const PatchRead read = service().readPatch(kProjectID, kTaskID, after);
        QCOMPARE(read.error().kind, PatchReadError::Kind::invalidUtf8);
        QCOMPARE(read.error().message, QStringLiteral("Unable to open patch: The patch file is not valid UTF-8 text."));
    }

    // What lies at the task's own patch path decides what the reader gives.
    void patchReaderRefusesWhatIsNotAPatchFile_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("message");
        const QString missing = QStringLiteral("Unable to open patch: The patch file does not exist.");
        QTest::newRow("nothing") << "none" << int(PatchReadError::Kind::missing) << missing;
        QTest::newRow("folder") << "folder" << int(PatchReadError::Kind::missing) << missing;
        QTest::newRow("fifo") << "fifo" << int(PatchReadError::Kind::missing) << missing;
        QTest::newRow("device link") << "device" << int(PatchReadError::Kind::missing) << missing;
        QTest::newRow("over the cap") << "huge" << int(PatchReadError::Kind::tooLarge)
                                      << QStringLiteral("Unable to open patch: The patch file is 67108865 bytes "
                                                        "long, more than the 64 MiB that can be shown.");
        QTest::newRow("truncated UTF-8") << "truncated" << int(PatchReadError::Kind::invalidUtf8)
                                         << QStringLiteral(
                                                "Unable to open patch: The patch file is not valid UTF-8 text.");
        QTest::newRow("at the cap") << "cap" << -1 << QString();
    }

    void patchReaderRefusesWhatIsNotAPatchFile()
    {
        QFETCH(QString, entry);
        QFETCH(int, kind);
        QFETCH(QString, message);
        const QString path = expectedPatchPath();
        QDir().mkpath(QFileInfo(path).path());
        if (entry == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(path));
        } else if (entry == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (entry == QLatin1String("device")) {
            QVERIFY(QFile::link(QStringLiteral("/dev/zero"), path));
        } else if (entry == QLatin1String("huge") || entry == QLatin1String("cap")) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.write("diff --git a/x b/x\n") > 0);
            // Sparse: the size is what counts, the zero bytes cost no disk.
            QVERIFY(file.resize(TaskGitCheckpointService::kMaxPatchBytes + (entry == QLatin1String("huge") ? 1 : 0)));
        } else if (entry == QLatin1String("truncated")) {
            writeFile(path, "diff --git a/x b/x\n+caf\xc3");
        }
        BL_TaskGitDiffArtifact artifact;
        artifact.state = BL_TaskGitDiffState::ready;
        artifact.diffFilePath = path;

        const PatchRead read = service().readPatch(kProjectID, kTaskID, artifact);
        if (kind < 0) {
            QVERIFY(read.ok());
            QCOMPARE(read.text().size(), TaskGitCheckpointService::kMaxPatchBytes);
            return;
        }
        QVERIFY(!read.ok());
        QCOMPARE(int(read.error().kind), kind);
        QCOMPARE(read.error().message, message);
    }

    void gitFailuresBecomeFailedArtifacts()
    {
        const QString repo = makeRepository(QStringLiteral("no-identity"));
        writeFile(repo + QStringLiteral("/a.txt"), "a\n");
        const auto before = pendingBefore(repo);

        // Without a committer identity the commit step fails.
        git(repo, {"config", "--unset", "user.name"});
        git(repo, {"config", "--unset", "user.email"});
        git(repo, {"config", "user.useConfigOnly", "true"});
        const QString prefixBefore
            = QStringLiteral("Failed to capture Git before-checkpoint: git commit-tree failed: ");
        const auto failedBefore = service().captureBefore(context(repo));
        QCOMPARE(failedBefore.state, BL_TaskGitDiffState::failed);
        QCOMPARE(failedBefore.repositoryRootPath, std::optional<QString>(repo));
        QVERIFY(!failedBefore.before && !failedBefore.isExact);
        QVERIFY2(failedBefore.errorMessage->startsWith(prefixBefore), qPrintable(*failedBefore.errorMessage));
        QVERIFY(failedBefore.errorMessage->size() > prefixBefore.size());

        writeFile(repo + QStringLiteral("/a.txt"), "b\n");
        const auto failedAfter = service().captureAfter(context(repo), before);
        QCOMPARE(failedAfter.state, BL_TaskGitDiffState::failed);
        QCOMPARE(failedAfter.before, before.before);
        QVERIFY(!failedAfter.after && !failedAfter.diffFilePath && !failedAfter.summary && !failedAfter.isExact);
        QVERIFY2(failedAfter.errorMessage->startsWith(
                     QStringLiteral("Failed to capture Git after-checkpoint: git commit-tree failed: ")),
            qPrintable(*failedAfter.errorMessage));
        QVERIFY(temporaryFolderIsEmpty());

        // A start checkpoint that does not exist in the repository fails the diff.
        git(repo, {"config", "user.name", "Test Person"});
        git(repo, {"config", "user.email", "test@example.com"});
        BL_TaskGitDiffArtifact unknown = before;
        unknown.before->syntheticCommit = QString(40, u'0');
        const auto failedDiff = service().captureAfter(context(repo), unknown);
        QVERIFY2(failedDiff.errorMessage->startsWith(
                     QStringLiteral("Failed to capture Git after-checkpoint: git diff --patch failed: ")),
            qPrintable(*failedDiff.errorMessage));

        // The logs folder cannot be made: a file is in the way.
        writeFile(m_scratch.filePath(QStringLiteral("blocked")), "file\n");
        const auto blocked = TaskGitCheckpointService(m_scratch.filePath(QStringLiteral("blocked")))
                                 .captureAfter(context(repo), before);
        QCOMPARE(blocked.state, BL_TaskGitDiffState::failed);
        QCOMPARE(blocked.before, before.before);
        QVERIFY2(blocked.errorMessage->startsWith(QStringLiteral("Failed to capture Git after-checkpoint: The folder")),
            qPrintable(*blocked.errorMessage));
    }

    void capturesRunInTheBackground()
    {
        const QString repo = makeRepository(QStringLiteral("background"));
        writeFile(repo + QStringLiteral("/a.txt"), "a\n");
        commitAll(repo, QStringLiteral("initial"));

        std::optional<BL_TaskGitDiffArtifact> delivered;
        QThread *deliveredOn = nullptr;
        QObject receiver;
        service().captureBeforeInBackground(context(repo), &receiver, [&](BL_TaskGitDiffArtifact artifact) {
            delivered = std::move(artifact);
            deliveredOn = QThread::currentThread();
        });
        QVERIFY(TestSupport::waitUntil([&] { return delivered.has_value(); }));
        QCOMPARE(deliveredOn, QThread::currentThread());
        QCOMPARE(delivered->state, BL_TaskGitDiffState::pending);

        // Without a usable stored start checkpoint one is taken first; nothing
        // changed in between, so the patch is empty.
        BL_TaskGitDiffArtifact hostile = *delivered;
        hostile.before->syntheticCommit = QStringLiteral("--output=/tmp/x");
        for (const std::optional<BL_TaskGitDiffArtifact> &stored :
            {std::optional<BL_TaskGitDiffArtifact>(), std::optional<BL_TaskGitDiffArtifact>(hostile)}) {
            const auto future = service().captureAfterInBackground(context(repo), stored);
            QVERIFY(TestSupport::waitForFuture(future));
            const BL_TaskGitDiffArtifact after = future.result();
            QCOMPARE(after.state, BL_TaskGitDiffState::ready);
            QVERIFY(after.before->syntheticCommit != hostile.before->syntheticCommit);
            QCOMPARE(after.summary, std::optional<BL_TaskGitDiffSummary>(BL_TaskGitDiffSummary {0, 0, 0}));
            QVERIFY(QFileInfo::exists(expectedPatchPath()));
            QCOMPARE(readFile(expectedPatchPath()), QByteArray());
        }

        // A stored start checkpoint is used as it is.
        writeFile(repo + QStringLiteral("/a.txt"), "b\n");
        const auto future = service().captureAfterInBackground(context(repo), delivered);
        QVERIFY(TestSupport::waitForFuture(future));
        QCOMPARE(future.result().before, delivered->before);
        QCOMPARE(future.result().summary, std::optional<BL_TaskGitDiffSummary>(BL_TaskGitDiffSummary {1, 1, 1}));
    }
};

QTEST_GUILESS_MAIN(TaskGitCheckpointServiceTest)
#include "tst_taskgitcheckpointservice.moc"
