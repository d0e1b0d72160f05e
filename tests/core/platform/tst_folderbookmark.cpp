#include "TestSupport.h"
#include "platform/FolderBookmark.h"

#include <QDir>
#include <QtTest>

class FolderBookmarkTest : public QObject
{
    Q_OBJECT

private slots:
    void freshBookmarkResolvesToItsFolder_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << QStringLiteral("project");
        QTest::newRow("spaces and accents") << QStringLiteral("My Café Project");
        QTest::newRow("hidden") << QStringLiteral(".work");
    }
    void freshBookmarkResolvesToItsFolder()
    {
        QFETCH(QString, name);
        QTemporaryDir dir;
        const QString folder = dir.filePath(name);
        QVERIFY(QDir().mkpath(folder));

        const auto data = FolderBookmark::create(folder + QStringLiteral("/./"));
        QVERIFY2(data.ok(), qPrintable(data.errorMessage()));
        QVERIFY(data->startsWith(folder.toUtf8() + '\0')); // the path as UTF-8 comes first
        QCOMPARE(FolderBookmark::recordedPath(*data), folder);

        const auto resolved = FolderBookmark::resolve(*data);
        QVERIFY2(resolved.ok(), qPrintable(resolved.errorMessage()));
        QCOMPARE(resolved->path, folder);
        QVERIFY(!resolved->isStale);
    }

    void folderThatMovedOrWentAway()
    {
        QTemporaryDir dir;
        const QString original = dir.filePath(QStringLiteral("alpha"));
        QVERIFY(QDir().mkpath(original));
        const QByteArray data = *FolderBookmark::create(original);

        // Renamed beside itself: found again, and stale.
        const QString renamed = dir.filePath(QStringLiteral("beta"));
        QVERIFY(QDir().rename(original, renamed));
        auto resolved = FolderBookmark::resolve(data);
        QVERIFY2(resolved.ok(), qPrintable(resolved.errorMessage()));
        QCOMPARE(resolved->path, renamed);
        QVERIFY(resolved->isStale);

        // A new bookmark made from there is current again.
        resolved = FolderBookmark::resolve(*FolderBookmark::create(resolved->path));
        QVERIFY(resolved.ok() && !resolved->isStale);

        // Moved elsewhere and another folder made in its place: the path
        // names a different folder now, which is stale.
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("elsewhere"))));
        QVERIFY(QDir().rename(renamed, dir.filePath(QStringLiteral("elsewhere/beta"))));
        QVERIFY(QDir().mkpath(original));
        resolved = FolderBookmark::resolve(data);
        QVERIFY(resolved.ok());
        QCOMPARE(resolved->path, original);
        QVERIFY(resolved->isStale);

        // Gone: a readable error naming the folder.
        QVERIFY(QDir(original).removeRecursively());
        resolved = FolderBookmark::resolve(data);
        QVERIFY(!resolved.ok());
        QVERIFY2(resolved.errorMessage().contains(original), qPrintable(resolved.errorMessage()));
    }

    void barePathBookmarkIsStale()
    {
        QTemporaryDir dir;
        const auto resolved = FolderBookmark::resolve(dir.path().toUtf8());
        QVERIFY(resolved.ok());
        QCOMPARE(resolved->path, dir.path());
        QVERIFY(resolved->isStale); // remade with its identity
    }

    void bytesThatAreNoBookmark_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("relative path") << QByteArray("some/folder");
        QTest::newRow("not UTF-8") << QByteArray("/tmp/\xff\xfe");
        QTest::newRow("foreign bookmark blob") << QByteArray("book\0\0\0\0mark\x10\x02", 14);
    }
    void bytesThatAreNoBookmark()
    {
        QFETCH(QByteArray, data);
        const auto resolved = FolderBookmark::resolve(data);
        QVERIFY(!resolved.ok());
        QVERIFY(!resolved.errorMessage().isEmpty());
        QVERIFY(FolderBookmark::recordedPath(data).isEmpty());
    }

    void onlyExistingFoldersGetBookmarks()
    {
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("file.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(!FolderBookmark::create(file.fileName()).ok());
        QVERIFY(!FolderBookmark::create(dir.filePath(QStringLiteral("missing"))).ok());
        QVERIFY(!FolderBookmark::create(QString()).ok());
    }
};

QTEST_GUILESS_MAIN(FolderBookmarkTest)
#include "tst_folderbookmark.moc"
