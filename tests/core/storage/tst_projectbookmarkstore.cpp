#include "TestSupport.h"
#include "common/Json.h"
#include "common/UuidText.h"
#include "platform/SettingsStore.h"
#include "storage/ProjectBookmarkStore.h"

#include <QDir>
#include <QJsonArray>
#include <QtTest>
#include <sys/stat.h>

using Record = ProjectBookmarkStore::ImportedProjectRecord;
Q_DECLARE_METATYPE(Record)

namespace {

const QString kFile = QStringLiteral("imported-projects.json");
const TimePoint kNow = TimePoint::fromReferenceSeconds(720000000.5);

QUuid uuid(char last)
{
    return *UuidText::parse(QStringLiteral("00000000-0000-4000-8000-00000000000") + QLatin1Char(last));
}

Record record(char id, const QString &name, const QString &path, qint64 agents, const QByteArray &bookmark,
    double created, double updated)
{
    return Record {uuid(id), name, path, agents, bookmark, TimePoint::fromReferenceSeconds(created),
        TimePoint::fromReferenceSeconds(updated)};
}

// The file format, written out here by hand so the store's own writer is
// not what checks it.
QJsonObject toJson(const Record &r)
{
    return QJsonObject {{QStringLiteral("projectID"), UuidText::upper(r.projectID)},
        {QStringLiteral("projectName"), r.projectName}, {QStringLiteral("rootPath"), r.rootPath},
        {QStringLiteral("agentCount"), r.agentCount},
        {QStringLiteral("bookmarkData"), QString::fromLatin1(r.bookmarkData.toBase64())},
        {QStringLiteral("createdAt"), r.createdAt.referenceSeconds()},
        {QStringLiteral("updatedAt"), r.updatedAt.referenceSeconds()}};
}

QByteArray fileBytes(const QList<Record> &records)
{
    QJsonArray array;
    for (const Record &r : records)
        array.append(toJson(r));
    return Json::write(array);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

using TestSupport::writeFile;

quint64 inode(const QString &path)
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

QString describe(const Record &r)
{
    return QStringLiteral("%1 \"%2\" %3 agents=%4 bookmark=%5 created=%6 updated=%7")
        .arg(UuidText::upper(r.projectID), r.projectName, r.rootPath)
        .arg(r.agentCount)
        .arg(QString::fromLatin1(r.bookmarkData), QString::number(r.createdAt.referenceSeconds(), 'f', 3),
            QString::number(r.updatedAt.referenceSeconds(), 'f', 3));
}

QStringList describe(const QList<Record> &records)
{
    QStringList lines;
    for (const Record &r : records)
        lines.append(describe(r));
    return lines;
}

QStringList backups(const QString &directory)
{
    return QDir(directory).entryList({kFile + QStringLiteral(".unreadable-*")}, QDir::Files, QDir::Name);
}

} // namespace

class ProjectBookmarkStoreTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root; // folders the records point at
    QString folder(const QString &relative) const { return m_root.path() + u'/' + relative; }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(folder(QStringLiteral("work"))));
        QVERIFY(QDir().mkpath(folder(QStringLiteral("real"))));
        QVERIFY(QFile::link(folder(QStringLiteral("real")), folder(QStringLiteral("link"))));
    }

    void saveWritesTheFileFormatAndUpdatesInPlace()
    {
        QTemporaryDir data;
        MemorySettingsStore settings;
        TestSupport::PinnedClock clock(kNow);
        const QString directory = data.filePath(QStringLiteral("com.tessaron.app")); // made on first write
        ProjectBookmarkStore store(settings, directory, clock);
        QVERIFY(!QFileInfo::exists(directory));

        store.save(
            "bm-1", uuid('a'), QStringLiteral("Work"), QStringLiteral("  ") + folder(QStringLiteral("work/./")), 3);
        const QJsonArray array = *Json::parseArray(readFile(store.storageFilePath()));
        QCOMPARE(array.size(), 1);
        const QJsonObject object = array.first().toObject();
        QCOMPARE(object.keys(),
            (QStringList {
                "agentCount", "bookmarkData", "createdAt", "projectID", "projectName", "rootPath", "updatedAt"}));
        QCOMPARE(object.value("projectID").toString(), QStringLiteral("00000000-0000-4000-8000-00000000000A"));
        QCOMPARE(object.value("rootPath").toString(), folder(QStringLiteral("work")));
        QCOMPARE(Json::wholeNumber(object.value("agentCount")), std::optional<qint64>(3));
        QCOMPARE(object.value("bookmarkData").toString(), QStringLiteral("Ym0tMQ=="));
        QCOMPARE(object.value("createdAt").toDouble(), kNow.referenceSeconds());

        clock.advance(60);
        store.save("bm-2", uuid('a'), QStringLiteral("Renamed"), folder(QStringLiteral("work")), 5);
        const QList<Record> records = store.loadRecords();
        QCOMPARE(describe(records),
            describe(QList<Record> {Record {uuid('a'), QStringLiteral("Renamed"), folder(QStringLiteral("work")), 5,
                "bm-2", kNow, kNow.addSeconds(60)}}));
        QCOMPARE(store.bookmark(uuid('a')), std::optional<QByteArray>("bm-2"));
        QCOMPARE(store.bookmark(uuid('b')), std::nullopt);
        QCOMPARE(store.importedProjectID(folder(QStringLiteral("work/../work/"))), std::optional<QUuid>(uuid('a')));
        QCOMPARE(store.importedProjectID(folder(QStringLiteral("Work"))), std::nullopt); // case matters
    }

    void saveForAFolderKnownUnderAnotherID()
    {
        QTemporaryDir data;
        MemorySettingsStore settings;
        TestSupport::PinnedClock clock(kNow);
        ProjectBookmarkStore store(settings, data.path(), clock);
        store.save("old", uuid('a'), QStringLiteral("First"), folder(QStringLiteral("work")), 1);
        clock.advance(1);
        store.save("new", uuid('b'), QStringLiteral("Second"), folder(QStringLiteral("work/")), 2);

        const QList<Record> records = store.loadRecords();
        QCOMPARE(records.size(), 1);
        QCOMPARE(records[0].projectID, uuid('a'));
        QCOMPARE(records[0].projectName, QStringLiteral("Second"));
        QCOMPARE(records[0].bookmarkData, QByteArray("new"));
        QCOMPARE(records[0].createdAt, kNow);
        QCOMPARE(store.importedProjectID(folder(QStringLiteral("work"))), std::optional<QUuid>(uuid('a')));

        // An accented folder name matches in either Unicode spelling.
        store.save("c", uuid('c'), QStringLiteral("Cafe"), folder(QString::fromUtf8("caf\u00e9")), 1);
        QCOMPARE(store.importedProjectID(folder(QString::fromUtf8("cafe\u0301"))), std::optional<QUuid>(uuid('c')));
        store.save("d", uuid('d'), QStringLiteral("Cafe"), folder(QString::fromUtf8("cafe\u0301")), 1);
        QCOMPARE(store.loadRecords().size(), 2);
    }

    void blankRootPathsNeverMatchByPath()
    {
        QTemporaryDir data;
        MemorySettingsStore settings;
        TestSupport::PinnedClock clock(kNow);
        ProjectBookmarkStore store(settings, data.path(), clock);
        QCOMPARE(store.importedProjectID(QStringLiteral(" \n")), std::nullopt);

        store.save("x", uuid('c'), QStringLiteral("Imported"), QString(), 0);
        clock.advance(1);
        store.save("y", uuid('d'), QStringLiteral("Spaces"), QStringLiteral("   "), 0);

        const QList<Record> records = store.loadRecords();
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[1].projectID, uuid('d'));
        QCOMPARE(records[1].rootPath, QString());
        QCOMPARE(store.importedProjectID(QStringLiteral("\t ")), std::optional<QUuid>(uuid('c')));
    }

    void loadingRepairsTheFile_data()
    {
        QTest::addColumn<QList<Record>>("stored");
        QTest::addColumn<QList<Record>>("expected");
        const QString work = folder(QStringLiteral("work"));

        QTest::newRow("one folder spelled two ways")
            << QList<Record> {record('a', "First", work + "/", 1, "a", 100, 100),
                   record('b', "Second", folder("./work/../work/."), 2, "b", 200, 300)}
            << QList<Record> {record('a', "Second", work, 2, "b", 100, 300)};
        QTest::newRow("one folder, equal creation: the lower ID text wins")
            << QList<Record> {record('b', "Newer", work, 7, "b", 100, 100),
                   record('a', "Older", work + "/", 1, "a", 100, 50)}
            << QList<Record> {record('a', "Newer", work, 7, "b", 100, 100)};
        QTest::newRow("one folder, precomposed and decomposed accent")
            << QList<Record> {record('a', "Café", folder(QString::fromUtf8("caf\u00e9")), 1, "a", 100, 100),
                   record('b', "Cafe", folder(QString::fromUtf8("cafe\u0301")), 2, "b", 200, 200)}
            << QList<Record> {record('a', "Cafe", folder(QString::fromUtf8("caf\u00e9")), 2, "b", 100, 200)};
        QTest::newRow("one folder through a symbolic link")
            << QList<Record> {record('a', "Link", folder("link"), 1, "a", 100, 100),
                   record('b', "Real", folder("real"), 2, "b", 200, 200)}
            << QList<Record> {record('a', "Real", folder("real"), 2, "b", 100, 200)};
        QTest::newRow("one project twice: the newer wins, blanks fall back")
            << QList<Record> {record('a', "Name", work, 1, "a", 100, 100), record('a', "", "", 3, "c", 50, 400)}
            << QList<Record> {record('a', "Name", work, 3, "c", 50, 400)};
        QTest::newRow("one project twice, saved at the same moment: the later entry wins")
            << QList<Record> {record('a', "First", work, 1, "a", 100, 300),
                   record('a', "Second", work, 2, "b", 200, 300)}
            << QList<Record> {record('a', "Second", work, 2, "b", 100, 300)};
        QTest::newRow("out of order") << QList<Record> {record('b', "B", folder("b"), 0, "", 200, 200),
            record('a', "A", folder("a"), 0, "", 100, 100)}
                                      << QList<Record> {record('a', "A", folder("a"), 0, "", 100, 100),
                                             record('b', "B", folder("b"), 0, "", 200, 200)};
        QTest::newRow("untrimmed path") << QList<Record> {record('a', "A", "  " + work + " \n", 0, "", 100, 100)}
                                        << QList<Record> {record('a', "A", work, 0, "", 100, 100)};
        const QList<Record> pathLess {record('b', "Imported Workspace", "", 0, "b", 100, 100),
            record('a', "Imported Workspace", "", 0, "a", 100, 100)};
        QTest::newRow("path-less records stay apart") << pathLess << pathLess;
        // Created at one moment: the file's order stands, whatever the IDs.
        const QList<Record> sameMoment {record('c', "C", folder("c"), 2, "", 100, 100),
            record('a', "Imported Workspace", "", 0, "a", 100, 100), record('b', "B", folder("b"), 5, "", 100, 100)};
        QTest::newRow("equal creation keeps the file's order") << sameMoment << sameMoment;
        QTest::newRow("equal creation after a merge")
            << QList<Record> {record('c', "C", folder("c"), 2, "", 100, 100),
                   record('a', "A", folder("a"), 1, "", 100, 100), record('b', "C too", folder("c/"), 3, "", 100, 120)}
            << QList<Record> {
                   record('b', "C too", folder("c"), 3, "", 100, 120), record('a', "A", folder("a"), 1, "", 100, 100)};
        const QList<Record> clean {
            record('a', "A", folder("a"), 0, "", 100, 100), record('b', "B", folder("b"), 4, "b", 100, 150)};
        QTest::newRow("already clean") << clean << clean;
    }
    void loadingRepairsTheFile()
    {
        QFETCH(QList<Record>, stored);
        QFETCH(QList<Record>, expected);
        QTemporaryDir data;
        MemorySettingsStore settings;
        const QString path = data.filePath(kFile);
        const QByteArray original = fileBytes(stored);
        writeFile(path, original);
        const quint64 originalInode = inode(path);

        ProjectBookmarkStore store(settings, data.path());
        QCOMPARE(describe(store.loadRecords()), describe(expected));
        if (stored == expected) {
            QCOMPARE(readFile(path), original); // nothing to repair, nothing written
            QCOMPARE(inode(path), originalInode);
        } else {
            // Rewritten at once: a plain read of the file gives the repaired list.
            QCOMPARE(*Json::parseArray(readFile(path)), *Json::parseArray(fileBytes(expected)));
        }
    }

    // A damaged record costs its own workspace only. The file stays as it is
    // until the next write, which first keeps it, and apart from it the
    // skipped record, beside itself.
    void damagedRecordIsSkipped_data()
    {
        QTest::addColumn<QJsonValue>("damaged");
        QTest::addColumn<QString>("reason");
        const QJsonObject complete = toJson(record('d', "Damaged", folder("d"), 1, "d", 150, 150));
        const auto with = [&](const char *key, const QJsonValue &value) {
            QJsonObject object = complete;
            if (value.isUndefined())
                object.remove(QLatin1String(key));
            else
                object.insert(QLatin1String(key), value);
            return QJsonValue(object);
        };

        QTest::newRow("lacks agentCount") << with("agentCount", QJsonValue::Undefined) << "\"agentCount\"";
        QTest::newRow("fractional agentCount") << with("agentCount", 1.5) << "\"agentCount\"";
        QTest::newRow("agentCount as text") << with("agentCount", QStringLiteral("2")) << "\"agentCount\"";
        QTest::newRow("UUID in braces") << with("projectID", QStringLiteral("{00000000-0000-4000-8000-00000000000D}"))
                                        << "\"projectID\"";
        QTest::newRow("bookmark not Base64") << with("bookmarkData", QStringLiteral("***")) << "\"bookmarkData\"";
        QTest::newRow("date as text") << with("createdAt", QStringLiteral("2024-01-01T00:00:00Z")) << "\"createdAt\"";
        QTest::newRow("name missing") << with("projectName", QJsonValue::Undefined) << "\"projectName\"";
        QTest::newRow("not an object") << QJsonValue(1) << "not a JSON object";
        QTest::newRow("null") << QJsonValue(QJsonValue::Null) << "not a JSON object";
    }
    void damagedRecordIsSkipped()
    {
        QFETCH(QJsonValue, damaged);
        QFETCH(QString, reason);
        QTemporaryDir data;
        MemorySettingsStore settings;
        TestSupport::PinnedClock clock(TimePoint::fromUnixSeconds(1733011200)); // 2024-12-01 00:00:00 UTC
        const QString path = data.filePath(kFile);
        const Record a = record('a', "A", folder("a"), 1, "a", 100, 100);
        const Record b = record('b', "B", folder("b"), 2, "b", 200, 200);
        const QByteArray original = Json::write(QJsonArray {toJson(a), damaged, toJson(b)});
        writeFile(path, original);

        // Said once, however often the file is read.
        const QRegularExpression warning(
            QStringLiteral("^Skipped 1 of 3 workspace records in \".*%1\".* record 2\\b.*%2")
                .arg(QRegularExpression::escape(kFile), QRegularExpression::escape(reason)));
        QTest::ignoreMessage(QtWarningMsg, warning);
        QTest::failOnWarning(warning);
        ProjectBookmarkStore store(settings, data.path(), clock);
        QCOMPARE(describe(store.loadRecords()), describe(QList<Record> {a, b}));
        QCOMPARE(store.bookmark(uuid('b')), std::optional<QByteArray>("b"));
        QCOMPARE(readFile(path), original); // untouched until the next write
        QVERIFY(backups(data.path()).isEmpty());

        store.save("c", uuid('c'), QStringLiteral("C"), folder("c"), 3);
        const Record c {uuid('c'), "C", folder("c"), 3, "c", clock.now(), clock.now()};
        QCOMPARE(describe(store.loadRecords()), describe(QList<Record> {a, b, c}));
        QCOMPARE(backups(data.path()), QStringList {kFile + QStringLiteral(".unreadable-20241201T000000Z")});
        QCOMPARE(readFile(data.filePath(backups(data.path()).first())), original);
        const QStringList skipped = QDir(data.path()).entryList({kFile + QStringLiteral(".skipped-*")}, QDir::Files);
        QCOMPARE(skipped, QStringList {kFile + QStringLiteral(".skipped-20241201T000000Z")});
        QCOMPARE(*Json::parseArray(readFile(data.filePath(skipped.first()))), QJsonArray {damaged});

        ProjectBookmarkStore restarted(settings, data.path(), clock);
        QCOMPARE(describe(restarted.loadRecords()), describe(QList<Record> {a, b, c}));
    }

    // The warning names the record and what is wrong with it.
    void warningSaysWhatWasSkipped()
    {
        QTemporaryDir data;
        MemorySettingsStore settings;
        QJsonObject damaged = toJson(record('d', "Damaged", folder("d"), 1, "d", 150, 150));
        damaged.remove(QStringLiteral("agentCount"));
        writeFile(data.filePath(kFile),
            Json::write(QJsonArray {toJson(record('a', "A", folder("a"), 1, "a", 100, 100)), damaged, 7}));
        QTest::ignoreMessage(QtWarningMsg,
            QRegularExpression(QStringLiteral("Skipped 2 of 3 .* record 2 \\(projectID "
                                              "\"00000000-0000-4000-8000-00000000000D\", projectName \"Damaged\", "
                                              "rootPath \"[^\"]*/d\"\\): Missing value for key \"agentCount\"; "
                                              "record 3: not a JSON object\\. The other workspaces are kept; "
                                              ".*\"imported-projects\\.json\\.skipped-\\*\"\\.$")));
        ProjectBookmarkStore store(settings, data.path());
        QCOMPARE(store.loadRecords().size(), 1);
    }

    void fileThatIsNoList_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QJsonObject complete = toJson(record('a', "A", folder("a"), 1, "a", 100, 100));
        QTest::newRow("object, not array") << Json::write(complete);
        QTest::newRow("cut short") << Json::write(QJsonArray {complete}).chopped(7);
        QTest::newRow("binary") << QByteArray("\x00\x01\xff\xfe", 4);
    }
    void fileThatIsNoList()
    {
        QFETCH(QByteArray, bytes);
        QTemporaryDir data;
        MemorySettingsStore settings;
        settings.setValue(QLatin1String(ProjectBookmarkStore::kStorageKey),
            QJsonObject {{UuidText::upper(uuid('c')), QStringLiteral("Ym0=")}});
        TestSupport::PinnedClock clock(TimePoint::fromUnixSeconds(1733011200)); // 2024-12-01 00:00:00 UTC
        const QString path = data.filePath(kFile);
        writeFile(path, bytes);
        const QRegularExpression warning(QStringLiteral("is not a list of workspace records"));
        QTest::ignoreMessage(QtWarningMsg, warning);
        QTest::failOnWarning(warning);

        ProjectBookmarkStore store(settings, data.path(), clock);
        QVERIFY(store.loadRecords().isEmpty()); // no import either: the file exists
        QCOMPARE(store.bookmark(uuid('a')), std::nullopt);
        QCOMPARE(readFile(path), bytes); // untouched until the next write
        QVERIFY(backups(data.path()).isEmpty());

        store.save("s", uuid('b'), QStringLiteral("Saved"), folder("b"), 2);
        QCOMPARE(describe(store.loadRecords()),
            describe(QList<Record> {Record {uuid('b'), "Saved", folder("b"), 2, "s", clock.now(), clock.now()}}));
        QCOMPARE(backups(data.path()), QStringList {kFile + QStringLiteral(".unreadable-20241201T000000Z")});
        QCOMPARE(readFile(data.filePath(backups(data.path()).first())), bytes);
        QVERIFY(QDir(data.path()).entryList({kFile + QStringLiteral(".skipped-*")}).isEmpty()); // no records in it

        // Kept once: the same bytes again are not copied a second time...
        clock.advance(5);
        writeFile(path, bytes);
        store.deleteRecord(uuid('b'));
        QCOMPARE(backups(data.path()).size(), 1);
        QCOMPARE(readFile(path), QByteArray("[]"));

        // ...other bytes are, even within the same second.
        clock.advance(-5);
        writeFile(path, bytes + "x");
        QTest::ignoreMessage(QtWarningMsg, warning);
        store.deleteRecord(uuid('b'));
        QCOMPARE(backups(data.path()),
            (QStringList {kFile + QStringLiteral(".unreadable-20241201T000000Z"),
                kFile + QStringLiteral(".unreadable-20241201T000000Z-2")}));
        QCOMPARE(readFile(data.filePath(backups(data.path()).last())), bytes + "x");
    }

    // A file that is there but does not read may hold every workspace: it is
    // reported and never written over.
    void fileThatDoesNotRead_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("named pipe") << QStringLiteral("fifo");
        QTest::newRow("no read permission") << QStringLiteral("mode 000");
    }
    void fileThatDoesNotRead()
    {
        QFETCH(QString, kind);
        QTemporaryDir data;
        const QString path = data.filePath(kFile);
        if (kind == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else {
            if (::geteuid() == 0)
                QSKIP("root reads a file whatever its mode");
            writeFile(path, fileBytes({record('a', "A", folder("a"), 1, "a", 100, 100)}));
            QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
        }
        MemorySettingsStore settings;
        TestSupport::PinnedClock clock(kNow);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("No workspace is read from")));
        ProjectBookmarkStore store(settings, data.path(), clock);
        QVERIFY(store.loadRecords().isEmpty());

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Not writing")));
        store.save("s", uuid('b'), QStringLiteral("Saved"), folder("b"), 2);
        if (kind == QLatin1String("fifo")) {
            struct stat info
            {
            };
            QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
            QVERIFY(S_ISFIFO(info.st_mode));
        } else {
            QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
            QCOMPARE(readFile(path), fileBytes({record('a', "A", folder("a"), 1, "a", 100, 100)}));
        }
        QVERIFY(backups(data.path()).isEmpty());
    }

    void oneTimeImportFromTheSettings_data()
    {
        QTest::addColumn<QJsonValue>("current");
        QTest::addColumn<QJsonValue>("legacy");
        QTest::addColumn<QList<QUuid>>("imported"); // empty: no file is made
        const QJsonValue none(QJsonValue::Undefined);
        const QJsonObject three {{UuidText::lower(uuid('b')), QStringLiteral("Ym0tYg==")},
            {QStringLiteral("not-a-uuid"), QStringLiteral("eA==")},
            {UuidText::upper(uuid('a')), QStringLiteral("Ym0tYQ==")}};
        const QJsonObject legacy {{UuidText::upper(uuid('e')), QStringLiteral("Ym0tZQ==")}};

        QTest::newRow("current key, one key not a UUID")
            << QJsonValue(three) << QJsonValue(legacy) << QList<QUuid> {uuid('a'), uuid('b')};
        QTest::newRow("empty current key ends it")
            << QJsonValue(QJsonObject()) << QJsonValue(legacy) << QList<QUuid> {};
        QTest::newRow("missing current key falls to legacy") << none << QJsonValue(legacy) << QList<QUuid> {uuid('e')};
        QTest::newRow("current entry not data falls to legacy")
            << QJsonValue(QJsonObject {{UuidText::upper(uuid('a')), 5}}) << QJsonValue(legacy)
            << QList<QUuid> {uuid('e')};
        QTest::newRow("current entry not Base64 falls to legacy")
            << QJsonValue(QJsonObject {{UuidText::upper(uuid('a')), QStringLiteral("%%")}}) << QJsonValue(legacy)
            << QList<QUuid> {uuid('e')};
        QTest::newRow("current not a dictionary falls to legacy")
            << QJsonValue(QStringLiteral("text")) << QJsonValue(legacy) << QList<QUuid> {uuid('e')};
        QTest::newRow("nothing usable anywhere") << QJsonValue(QJsonArray {1}) << none << QList<QUuid> {};
        QTest::newRow("no keys at all") << none << none << QList<QUuid> {};
    }
    void oneTimeImportFromTheSettings()
    {
        QFETCH(QJsonValue, current);
        QFETCH(QJsonValue, legacy);
        QFETCH(QList<QUuid>, imported);
        QTemporaryDir data;
        MemorySettingsStore settings;
        if (!current.isUndefined())
            settings.setValue(QLatin1String(ProjectBookmarkStore::kStorageKey), current);
        if (!legacy.isUndefined())
            settings.setValue(QLatin1String(ProjectBookmarkStore::kLegacyStorageKey), legacy);
        const QStringList keysBefore = settings.keys();
        TestSupport::PinnedClock clock(kNow);

        ProjectBookmarkStore store(settings, data.path(), clock);
        QCOMPARE(QFileInfo::exists(store.storageFilePath()), !imported.isEmpty());
        const QList<Record> records = store.loadRecords();
        QCOMPARE(records.size(), imported.size());
        for (int i = 0; i < records.size(); ++i) {
            const Record &r = records[i];
            QCOMPARE(r.projectID, imported[i]);
            QCOMPARE(r.projectName, QStringLiteral("Imported Workspace"));
            QCOMPARE(r.rootPath, QString());
            QCOMPARE(r.agentCount, qint64(0));
            QCOMPARE(r.bookmarkData, QByteArray("bm-") + UuidText::lower(r.projectID).right(1).toLatin1());
            QCOMPARE(r.createdAt, kNow);
            QCOMPARE(r.updatedAt, kNow);
        }
        QCOMPARE(settings.keys(), keysBefore); // the settings stay as they were

        // Never again once the file exists, even when it is emptied.
        if (!imported.isEmpty()) {
            for (const Record &r : records)
                store.deleteRecord(r.projectID);
            ProjectBookmarkStore again(settings, data.path(), clock);
            QVERIFY(again.loadRecords().isEmpty());
        }
    }

    void deleteRemovesAndAlwaysWrites()
    {
        QTemporaryDir data;
        MemorySettingsStore settings;
        const QString path = data.filePath(kFile);
        const QList<Record> stored {
            record('a', "A", folder("a"), 0, "a", 100, 100), record('b', "B", folder("b"), 0, "b", 200, 200)};
        writeFile(path, fileBytes(stored));
        ProjectBookmarkStore store(settings, data.path());

        // An unknown project: the file is written again with the same list.
        const quint64 firstInode = inode(path);
        store.deleteRecord(uuid('f'));
        QVERIFY(inode(path) != firstInode);
        QCOMPARE(describe(store.loadRecords()), describe(stored));

        store.deleteRecord(uuid('a'));
        QCOMPARE(describe(store.loadRecords()), describe(stored.mid(1)));
        QCOMPARE(store.importedProjectID(folder("a")), std::nullopt);
    }

    void writesReplaceTheWholeFileAtomically()
    {
        QTemporaryDir data;
        MemorySettingsStore settings;
        ProjectBookmarkStore store(settings, data.path());
        const QString path = store.storageFilePath();
        store.save("a", uuid('a'), QStringLiteral("A"), folder("a"), 1);

        // A reader holding the old file keeps reading all of it: the new
        // content arrives as a new file renamed over the old one.
        QFile reader(path);
        QVERIFY(reader.open(QIODevice::ReadOnly));
        const QByteArray before = readFile(path);
        const quint64 beforeInode = inode(path);
        store.save("b", uuid('b'), QStringLiteral("B"), folder("b"), 2);
        QVERIFY(inode(path) != beforeInode);
        QCOMPARE(reader.readAll(), before);
        QCOMPARE(store.loadRecords().size(), 2);
        QCOMPARE(QDir(data.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList {kFile}); // no temporary file left behind
    }

    void directoryThatCannotBeMade()
    {
        QTemporaryDir data;
        writeFile(data.filePath(QStringLiteral("blocker")), "a file where the folder should be");
        MemorySettingsStore settings;
        settings.setValue(QLatin1String(ProjectBookmarkStore::kStorageKey),
            QJsonObject {{UuidText::upper(uuid('a')), QStringLiteral("eA==")}});
        ProjectBookmarkStore store(settings, data.filePath(QStringLiteral("blocker/data")));
        store.save("a", uuid('a'), QStringLiteral("A"), folder("a"), 1);
        QVERIFY(store.loadRecords().isEmpty());
        QCOMPARE(store.bookmark(uuid('a')), std::nullopt);

        ProjectBookmarkStore nowhere(settings, QString()); // no data directory at all
        nowhere.save("a", uuid('a'), QStringLiteral("A"), folder("a"), 1);
        QVERIFY(nowhere.loadRecords().isEmpty());
    }

    void relativePathsTakeTheWorkingDirectory()
    {
        QTemporaryDir data;
        MemorySettingsStore settings;
        ProjectBookmarkStore store(settings, data.path());
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_root.path()));
        store.save("r", uuid('r'), QStringLiteral("R"), QStringLiteral("link/../work/new/"), 0);
        QVERIFY(QDir::setCurrent(previous));
        QCOMPARE(store.loadRecords().value(0).rootPath, folder(QStringLiteral("work/new")));
    }
};

QTEST_GUILESS_MAIN(ProjectBookmarkStoreTest)
#include "tst_projectbookmarkstore.moc"
