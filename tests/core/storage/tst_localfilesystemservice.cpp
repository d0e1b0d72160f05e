#include "TestSupport.h"
#include "common/Json.h"
#include "storage/LocalFileSystemService.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtConcurrent/QtConcurrentRun>
#include <QtTest>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Builds a workspace folder from relative paths: a trailing "/" makes a
// folder, anything else an empty file (folders above it are created).
void populate(const QString &root, const QStringList &entries)
{
    for (const QString &entry : entries) {
        const QString path = root + u'/' + entry;
        if (entry.endsWith(u'/')) {
            QVERIFY(QDir().mkpath(path));
            continue;
        }
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("{}");
    }
}

QStringList relativeTo(const QString &root, const QStringList &paths)
{
    QStringList relative;
    for (const QString &path : paths)
        relative.append(QDir(root).relativeFilePath(path));
    return relative;
}

} // namespace

class LocalFileSystemServiceTest : public QObject
{
    Q_OBJECT

    LocalFileSystemService m_service;

private slots:
    void initializeWritesLayoutAndConfig_data()
    {
        QTest::addColumn<qint64>("requested");
        QTest::addColumn<qint64>("written");
        QTest::newRow("four agents") << qint64(4) << qint64(4);
        QTest::newRow("negative raised to zero") << qint64(-3) << qint64(0);
    }
    void initializeWritesLayoutAndConfig()
    {
        QFETCH(qint64, requested);
        QFETCH(qint64, written);
        QTemporaryDir root;
        const QString name = QStringLiteral("Café / \"quoted\"");

        const auto config = m_service.initializeProject(root.path(), name, requested);
        QVERIFY2(config.ok(), qPrintable(config.errorMessage()));
        QCOMPARE(config->name, name);
        QCOMPARE(config->agentCount, written);
        QVERIFY(QFileInfo(root.filePath(QStringLiteral(".brimlock/tasks"))).isDir());
        // Written whole at the root and nothing else beside it (no temporary file left).
        QCOMPARE(QDir(root.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            (QStringList {QStringLiteral(".brimlock"), QStringLiteral("brimlock.json")}));

        QFile file(root.filePath(QStringLiteral("brimlock.json")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        const auto object = Json::parseObject(bytes);
        QVERIFY(object);
        QCOMPARE(object->keys(), (QStringList {QStringLiteral("agent_count"), QStringLiteral("name")}));
        QVERIFY(object->value(QStringLiteral("agent_count")).isDouble());
        QCOMPARE(Json::wholeNumber(object->value(QStringLiteral("agent_count"))), written);
        QCOMPARE(object->value(QStringLiteral("name")).toString(), name);
        QVERIFY(bytes.indexOf("\"agent_count\"") < bytes.indexOf("\"name\""));
        QVERIFY(bytes.contains('\n')); // pretty-printed

        const auto parsed = BL_WorkspaceConfig::parse(bytes, QStringLiteral("fallback"));
        QVERIFY(parsed.ok());
        QCOMPARE(parsed->name, name);
        QCOMPARE(parsed->agentCount, written);
    }

    void initializeAgainKeepsTasksAndReplacesConfig()
    {
        QTemporaryDir root;
        QVERIFY(m_service.initializeProject(root.path(), QStringLiteral("First"), 4).ok());
        populate(root.path(), {QStringLiteral(".brimlock/tasks/a.json")});
        QVERIFY(m_service.initializeProject(root.path(), QStringLiteral("Second"), 2).ok());

        QVERIFY(QFileInfo::exists(root.filePath(QStringLiteral(".brimlock/tasks/a.json"))));
        const auto detection = m_service.detectProject(root.path());
        QCOMPARE(detection.configURL, std::optional<QString>(root.filePath(QStringLiteral("brimlock.json"))));
        const auto content = m_service.readWorkspaceFile(*detection.configURL);
        QVERIFY(content.ok());
        const auto config = BL_WorkspaceConfig::parse(*content, QString());
        QCOMPARE(config->name, QStringLiteral("Second"));
        QCOMPARE(config->agentCount, 2);
    }

    void initializeStopsAtTheFirstFailure()
    {
        // A plain file named .brimlock is in the way: nothing else is attempted.
        QTemporaryDir root;
        populate(root.path(), {QStringLiteral(".brimlock")});
        const auto config = m_service.initializeProject(root.path(), QStringLiteral("x"), 4);
        QVERIFY(!config.ok());
        QVERIFY(config.errorMessage().contains(root.filePath(QStringLiteral(".brimlock"))));
        QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("brimlock.json"))));
    }

    void detectProject_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("config"); // relative; empty for none
        QTest::addColumn<bool>("hasBrimlockDirectory");
        QTest::addColumn<QStringList>("afterwards"); // files that must exist afterwards

        QTest::newRow("empty folder") << QStringList() << QString() << false << QStringList();
        QTest::newRow("root config") << QStringList {"brimlock.json"} << "brimlock.json" << false
                                     << QStringList {"brimlock.json"};
        QTest::newRow("root wins over .brimlock")
            << QStringList {"brimlock.json", ".brimlock/brimlock.json"} << "brimlock.json" << true
            << QStringList {"brimlock.json", ".brimlock/brimlock.json"};
        QTest::newRow("only inside .brimlock") << QStringList {".brimlock/brimlock.json"} << ".brimlock/brimlock.json"
                                               << true << QStringList {".brimlock/brimlock.json"};
        QTest::newRow("other letter case inside .brimlock is renamed")
            << QStringList {".brimlock/BRIMLOCK.JSON"} << ".brimlock/brimlock.json" << true
            << QStringList {".brimlock/brimlock.json"};
        QTest::newRow("other letter case at the root is renamed, .brimlock's too")
            << QStringList {"Brimlock.Json", ".brimlock/BRIMLOCK.json"} << "brimlock.json" << true
            << QStringList {"brimlock.json", ".brimlock/brimlock.json"};
        QTest::newRow("hidden look-alike is not a config")
            << QStringList {".brimlock.json", ".brimlock/"} << QString() << true << QStringList {".brimlock.json"};
        QTest::newRow(".brimlock as a plain file") << QStringList {".brimlock"} << QString() << true << QStringList();
        QTest::newRow("tasks folder only") << QStringList {"tasks/a.json"} << QString() << false << QStringList();
    }
    void detectProject()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, config);
        QFETCH(bool, hasBrimlockDirectory);
        QFETCH(QStringList, afterwards);
        QTemporaryDir root;
        populate(root.path(), entries);

        const BrimlockProjectDetection detection = m_service.detectProject(root.path());
        QCOMPARE(detection.hasBrimlockDirectory, hasBrimlockDirectory);
        const std::optional<QString> expected
            = config.isEmpty() ? std::nullopt : std::optional<QString>(root.filePath(config));
        QCOMPARE(detection.configURL, expected);
        for (const QString &file : afterwards) {
            // Exact names, even where the volume ignores letter case.
            const QFileInfo info(root.filePath(file));
            QVERIFY2(
                QDir(info.path()).entryList(QDir::Files | QDir::Hidden).contains(info.fileName()), qPrintable(file));
        }
    }

    void taskFiles_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("no task folder") << QStringList {"brimlock.json"} << QStringList();
        QTest::newRow("root tasks folder")
            << QStringList {"tasks/a.json", "tasks/b.json"} << QStringList {"tasks/a.json", "tasks/b.json"};
        QTest::newRow("empty .brimlock/tasks hides tasks/")
            << QStringList {"tasks/a.json", ".brimlock/tasks/"} << QStringList();
        QTest::newRow("extensions, hidden entries and sub-folders")
            << QStringList {".brimlock/tasks/a.json", ".brimlock/tasks/b.JSON", ".brimlock/tasks/.c.json",
                   ".brimlock/tasks/d.txt", ".brimlock/tasks/json", ".brimlock/tasks/sub/e.json",
                   ".brimlock/tasks/f.json/"}
            << QStringList {".brimlock/tasks/a.json", ".brimlock/tasks/b.JSON", ".brimlock/tasks/f.json"};
    }
    void taskFiles()
    {
        QFETCH(QStringList, entries);
        QFETCH(QStringList, expected);
        QTemporaryDir root;
        populate(root.path(), entries);
        const auto files = m_service.taskFiles(root.path());
        QVERIFY2(files.ok(), qPrintable(files.errorMessage()));
        QCOMPARE(relativeTo(root.path(), *files), expected);
    }

    void taskFilesFailWhenTheTaskFolderCannotBeListed()
    {
        QTemporaryDir root;
        populate(root.path(), {QStringLiteral(".brimlock/tasks")}); // a file, not a folder
        const auto files = m_service.taskFiles(root.path());
        QVERIFY(!files.ok());
        QVERIFY(files.errorMessage().contains(QStringLiteral("could not be listed")));
    }

    void watchDirectory_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("expected");
        QTest::newRow("both task folders") << QStringList {".brimlock/tasks/", "tasks/"} << ".brimlock/tasks";
        QTest::newRow("root tasks folder") << QStringList {".brimlock/", "tasks/"} << "tasks";
        QTest::newRow(".brimlock only") << QStringList {".brimlock/"} << ".brimlock";
        QTest::newRow("nothing") << QStringList {"brimlock.json"} << ".";
    }
    void watchDirectory()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, expected);
        QTemporaryDir root;
        populate(root.path(), entries);
        QCOMPARE(m_service.watchDirectoryURL(root.path()), QDir::cleanPath(root.filePath(expected)));
    }

    void readWorkspaceFileReadsRegularFiles()
    {
        QTemporaryDir root;
        QFile file(root.filePath(QStringLiteral("task.json")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray content(LocalFileSystemService::kMaximumWorkspaceFileSize, 'x');
        file.write(content);
        file.close();
        QVERIFY(QFile::link(file.fileName(), root.filePath(QStringLiteral("link.json"))));

        for (const QString &name : {QStringLiteral("task.json"), QStringLiteral("link.json")}) {
            const auto read = m_service.readWorkspaceFile(root.filePath(name));
            QVERIFY2(read.ok(), qPrintable(read.errorMessage()));
            QCOMPARE(read->size(), content.size());
        }
    }

    void readWorkspaceFileRefusesWhatIsNotAPlainSmallFile()
    {
        QTemporaryDir root;
        const QString fifo = root.filePath(QStringLiteral("fifo.json"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QVERIFY(QFile::link(fifo, root.filePath(QStringLiteral("fifo-link.json"))));
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), root.filePath(QStringLiteral("device.json"))));
        QVERIFY(QDir(root.path()).mkdir(QStringLiteral("folder.json")));
        QFile large(root.filePath(QStringLiteral("large.json")));
        QVERIFY(large.open(QIODevice::WriteOnly));
        QVERIFY(large.resize(LocalFileSystemService::kMaximumWorkspaceFileSize + 1)); // sparse
        large.close();

        const QStringList refused {QStringLiteral("fifo.json"), QStringLiteral("fifo-link.json"),
            QStringLiteral("device.json"), QStringLiteral("folder.json"), QStringLiteral("large.json"),
            QStringLiteral("missing.json")};
        for (const QString &name : refused) {
            const QString path = root.filePath(name);
            auto future = QtConcurrent::run([this, path] { return m_service.readWorkspaceFile(path); });
            if (!TestSupport::waitForFuture(future, 5000)) {
                // Release a read stuck on the FIFO so the test can end.
                ::close(::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK));
                future.waitForFinished();
                QFAIL(qPrintable(QStringLiteral("reading %1 did not return").arg(name)));
            }
            const auto read = future.result();
            QVERIFY2(!read.ok(), qPrintable(name));
            QVERIFY2(read.errorMessage().contains(path), qPrintable(read.errorMessage()));
        }
        const auto large16 = m_service.readWorkspaceFile(root.filePath(QStringLiteral("large.json")));
        QVERIFY(large16.errorMessage().contains(QStringLiteral("larger than 16 MiB")));
    }
};

QTEST_GUILESS_MAIN(LocalFileSystemServiceTest)
#include "tst_localfilesystemservice.moc"
