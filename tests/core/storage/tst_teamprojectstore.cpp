#include "TestSupport.h"
#include "common/Json.h"
#include "common/UuidText.h"
#include "storage/DatabaseMigrator.h"
#include "storage/TeamProjectStore.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>
#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

using Snapshot = TeamProjectStore::Snapshot;

namespace {

const TimePoint kStart = TimePoint::fromUnixSeconds(1735689600.25); // 2025-01-01 00:00:00.250 UTC

struct StoredRow
{
    qint64 id = 0;
    QByteArray payload;
    QString updatedAt;
};

QList<StoredRow> storedRows(const QString &databasePath)
{
    SQLite::Database database(databasePath.toStdString(), SQLite::OPEN_READONLY);
    SQLite::Statement select(database, "SELECT id, payload, updated_at, typeof(payload) FROM team_project_snapshot");
    QList<StoredRow> rows;
    while (select.executeStep()) {
        if (select.getColumn(3).getString() != "blob")
            qFatal("the payload is not stored as a blob");
        const SQLite::Column payload = select.getColumn(1);
        rows.append({select.getColumn(0).getInt64(),
            QByteArray(static_cast<const char *>(payload.getBlob()), payload.getBytes()),
            QString::fromStdString(select.getColumn(2).getString())});
    }
    return rows;
}

void writeRow(const QString &databasePath, const QByteArray &payload)
{
    SQLite::Database database(databasePath.toStdString(), SQLite::OPEN_READWRITE);
    SQLite::Statement upsert(database,
        "INSERT INTO team_project_snapshot (id, payload, updated_at) VALUES (1, ?, '2024-01-01 00:00:00.000') "
        "ON CONFLICT(id) DO UPDATE SET payload = excluded.payload");
    upsert.bind(1, static_cast<const void *>(payload.constData()), static_cast<int>(payload.size()));
    upsert.exec();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("could not write %s", qPrintable(path));
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A complete snapshot document with one organisation and one team in it.
QJsonObject legacyDocument(const QString &teamName)
{
    const QString org = QStringLiteral("0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9");
    const QString team = QStringLiteral("1B2C3D4E-5F60-4172-8384-A5B6C7D8E9F0");
    QJsonObject document;
    document.insert(QStringLiteral("organizations"),
        QJsonArray {
            QJsonObject {{"id", org}, {"name", "Acme"}, {"slug", "acme"}, {"createdAt", 10.0}, {"updatedAt", 10.0}}});
    document.insert(QStringLiteral("teams"),
        QJsonArray {QJsonObject {
            {"id", team}, {"organizationID", org}, {"name", teamName}, {"createdAt", 20.5}, {"updatedAt", 20.5}}});
    for (const char *key : {"users", "mainNodes", "invites"})
        document.insert(QLatin1String(key), QJsonArray());
    for (const char *key : {"teamToProjectIDs", "projectToTeamIDs", "orgToProjectIDs", "userToOrgIDs", "orgToUserIDs",
             "userToTeamIDs", "teamToUserIDs", "membershipRoles", "projectToOrgID", "projectOwnerByProjectID"})
        document.insert(QLatin1String(key), QJsonObject());
    document.insert(QStringLiteral("orgToTeamIDs"), QJsonObject {{org.toLower(), QJsonArray {team}}});
    document.insert(QStringLiteral("teamToOrgID"), QJsonObject {{team.toLower(), org}});
    return document;
}

QStringList unreadableCopies(const QString &directory)
{
    return QDir(directory).entryList({QStringLiteral("team-projects.unreadable-*")}, QDir::Files);
}

} // namespace

class TeamProjectStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void firstStartCreatesTheFileAndWritesOnlyOnChange()
    {
        QTemporaryDir dir;
        const QString storage = dir.filePath(QStringLiteral("share/com.tessaron.app"));
        TestSupport::PinnedClock clock(kStart);
        TeamProjectStore store(storage, clock);
        QVERIFY(store.isPersistent());
        const QString path = storage + QStringLiteral("/team-projects.sqlite");
        QCOMPARE(store.databaseFilePath(), path);
        {
            SQLite::Database database(path.toStdString(), SQLite::OPEN_READONLY);
            QVERIFY(database.tableExists("tasks"));
            QCOMPARE(DatabaseMigrator::appliedIdentifiers(database)->size(), 6);
            SQLite::Statement sql(database, "SELECT sql FROM sqlite_master WHERE name = 'team_project_snapshot'");
            QVERIFY(sql.executeStep());
            QCOMPARE(QString::fromStdString(sql.getColumn(0).getString()),
                QStringLiteral("CREATE TABLE team_project_snapshot (\n    id INTEGER PRIMARY KEY,\n"
                               "    payload BLOB NOT NULL,\n    updated_at DATETIME NOT NULL\n)"));
        }
        QVERIFY(store.allTeams().isEmpty());
        QVERIFY(store.allUsers().isEmpty());
        QVERIFY(storedRows(path).isEmpty()); // loading does not write

        clock.advance(1);
        const BL_Team team = store.createTeam(QStringLiteral("Core"));
        const QList<StoredRow> rows = storedRows(path);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0].id, 1);
        QCOMPARE(rows[0].updatedAt, QStringLiteral("2025-01-01 00:00:01.250"));
        const Result<Snapshot> stored = Snapshot::fromJson(rows[0].payload);
        QVERIFY2(stored.ok(), qPrintable(stored.errorMessage()));
        QCOMPARE(stored->teams, QList<BL_Team> {team});

        // Every write stamps the row, also when nothing changed.
        clock.advance(60);
        store.ensureProjectsHaveOwner({}, QUuid::createUuid());
        QCOMPARE(storedRows(path)[0].updatedAt, QStringLiteral("2025-01-01 00:01:01.250"));
        QCOMPARE(storedRows(path)[0].payload, rows[0].payload);
    }

    void payloadHasTheSnapshotForm()
    {
        QTemporaryDir dir;
        TeamProjectStore store(dir.path());
        const BL_Organization org = store.createOrganization(QStringLiteral("Acme"));
        const BL_Team team = store.createTeam(QStringLiteral("Core"), org.id);
        const BL_User user = store.createUser(QStringLiteral("Ada"));
        const QUuid project = QUuid::createUuid();
        store.assign(project, team.id);
        store.addUser(user.id, team.id, BL_TeamMembershipRole::admin);
        store.setOwner(user.id, project);

        const QByteArray payload = storedRows(store.databaseFilePath())[0].payload;
        const QJsonObject object = QJsonDocument::fromJson(payload).object();
        QCOMPARE(object.size(), 17);
        const QString teamKey = UuidText::lower(team.id);
        QCOMPARE(object.value(QStringLiteral("teamToProjectIDs")).toObject().value(teamKey).toArray(),
            (QJsonArray {UuidText::upper(project)}));
        QCOMPARE(
            object.value(QStringLiteral("teamToOrgID")).toObject().value(teamKey).toString(), UuidText::upper(org.id));
        QCOMPARE(object.value(QStringLiteral("membershipRoles"))
                     .toObject()
                     .value(teamKey + u':' + UuidText::lower(user.id))
                     .toString(),
            QStringLiteral("admin"));
        QVERIFY(object.value(QStringLiteral("users")).toArray().at(0).toObject().value("createdAt").isDouble());

        // The next run reads the same graph back.
        TeamProjectStore again(dir.path());
        QCOMPARE(again.allTeams(), QList<BL_Team> {team});
        QCOMPARE(again.ownerForProject(project), std::optional<QUuid>(user.id));
        QCOMPARE(again.teamIDsForUser(user.id), QList<QUuid> {team.id});
    }

    void laterReadsComeFromTheCache()
    {
        QTemporaryDir dir;
        TeamProjectStore store(dir.path());
        const BL_Team team = store.createTeam(QStringLiteral("Core"));
        {
            SQLite::Database other(store.databaseFilePath().toStdString(), SQLite::OPEN_READWRITE);
            other.exec("DELETE FROM team_project_snapshot");
        }
        QCOMPARE(store.allTeams(), QList<BL_Team> {team});
        store.createUser(QStringLiteral("Ada"));
        QCOMPARE(Snapshot::fromJson(storedRows(store.databaseFilePath())[0].payload)->teams, QList<BL_Team> {team});
    }

    void legacyFileIsImportedOnce()
    {
        QTemporaryDir dir;
        const QString legacyPath = dir.filePath(QStringLiteral("team-projects.json"));
        QJsonObject document = legacyDocument(QStringLiteral("Imported"));
        document.insert(QStringLiteral("somethingNewer"), true);
        const QByteArray legacyBytes = QJsonDocument(document).toJson(QJsonDocument::Indented);
        writeFile(legacyPath, legacyBytes);
        {
            TeamProjectStore store(dir.path());
            const QList<StoredRow> rows = storedRows(store.databaseFilePath());
            QCOMPARE(rows.size(), 1);
            QVERIFY(rows[0].payload != legacyBytes); // the store's own encoding
            QVERIFY(!rows[0].payload.contains("somethingNewer"));
            QCOMPARE(store.allTeams().size(), 1);
            QCOMPARE(store.allTeams()[0].name, QStringLiteral("Imported"));
            QCOMPARE(store.allOrganizations()[0].slug, QStringLiteral("acme"));
        }
        QCOMPARE(readFile(legacyPath), legacyBytes); // left as it was

        writeFile(legacyPath, QJsonDocument(legacyDocument(QStringLiteral("Changed"))).toJson());
        TeamProjectStore next(dir.path());
        QCOMPARE(next.allTeams()[0].name, QStringLiteral("Imported"));
    }

    void incompleteLegacyFileIsNotImported()
    {
        QTemporaryDir dir;
        QJsonObject document = legacyDocument(QStringLiteral("Imported"));
        document.remove(QStringLiteral("invites"));
        writeFile(dir.filePath(QStringLiteral("team-projects.json")), QJsonDocument(document).toJson());
        {
            TeamProjectStore store(dir.path());
            QVERIFY(storedRows(store.databaseFilePath()).isEmpty());
            QVERIFY(store.allTeams().isEmpty());
            store.createUser(QStringLiteral("Ada"));
            QCOMPARE(storedRows(store.databaseFilePath()).size(), 1);
        }
        // Once the row exists the legacy file is never looked at again.
        writeFile(dir.filePath(QStringLiteral("team-projects.json")),
            QJsonDocument(legacyDocument(QStringLiteral("Imported"))).toJson());
        TeamProjectStore next(dir.path());
        QVERIFY(next.allTeams().isEmpty());
        QCOMPARE(next.allUsers().size(), 1);
    }

    void unknownKeysAreDroppedOnTheNextWrite()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("team-projects.sqlite"));
        TeamProjectStore(dir.path()).isPersistent();
        QJsonObject document = legacyDocument(QStringLiteral("Core"));
        document.insert(QStringLiteral("extra"), QStringLiteral("kept only until the next write"));
        writeRow(path, QJsonDocument(document).toJson());

        TeamProjectStore store(dir.path());
        QCOMPARE(store.allTeams().size(), 1);
        store.createUser(QStringLiteral("Ada"));
        QVERIFY(!storedRows(path)[0].payload.contains("extra"));
        QVERIFY(unreadableCopies(dir.path()).isEmpty());
    }

    void unreadableSnapshotIsKeptBeforeItIsReplaced_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QJsonObject badRole = legacyDocument(QStringLiteral("Core"));
        badRole.insert(QStringLiteral("membershipRoles"), QJsonObject {{"a:b", "Owner"}});
        QJsonObject badUuid = legacyDocument(QStringLiteral("Core"));
        badUuid.insert(QStringLiteral("teamToOrgID"), QJsonObject {{"a", "not-a-uuid"}});
        QJsonObject nullKey = legacyDocument(QStringLiteral("Core"));
        nullKey.insert(QStringLiteral("users"), QJsonValue::Null);
        QJsonObject badTeam = legacyDocument(QStringLiteral("Core"));
        badTeam.insert(QStringLiteral("teams"), QJsonArray {QJsonObject {{"name", "no id"}}});
        QTest::newRow("role Owner") << QJsonDocument(badRole).toJson();
        QTest::newRow("map value not a uuid") << QJsonDocument(badUuid).toJson();
        QTest::newRow("null list") << QJsonDocument(nullKey).toJson();
        QTest::newRow("team without id") << QJsonDocument(badTeam).toJson();
        QTest::newRow("truncated json") << QJsonDocument(badRole).toJson().left(200);
        QTest::newRow("not json") << QByteArray("\x00\x01 binary", 9);
    }

    void unreadableSnapshotIsKeptBeforeItIsReplaced()
    {
        QFETCH(QByteArray, payload);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("team-projects.sqlite"));
        TeamProjectStore(dir.path()).isPersistent();
        writeRow(path, payload);

        TestSupport::PinnedClock clock(kStart);
        TeamProjectStore store(dir.path(), clock);
        QVERIFY(store.allTeams().isEmpty()); // loads as the empty graph
        QVERIFY(unreadableCopies(dir.path()).isEmpty());

        const BL_Team team = store.createTeam(QStringLiteral("Fresh"));
        QCOMPARE(unreadableCopies(dir.path()),
            QStringList {QStringLiteral("team-projects.unreadable-20250101T000000Z.json")});
        QCOMPARE(readFile(dir.filePath(unreadableCopies(dir.path())[0])), payload);
        QCOMPARE(Snapshot::fromJson(storedRows(path)[0].payload)->teams, QList<BL_Team> {team});

        clock.advance(5);
        store.createTeam(QStringLiteral("Second"));
        QCOMPARE(unreadableCopies(dir.path()).size(), 1); // once
    }

    // An invite's lifetime is bounded when it is made, so its expiry always
    // reads back and the graph survives the next start.
    void inviteLifetimes_data()
    {
        const double century = 100.0 * 365.25 * 24 * 3600;
        QTest::addColumn<double>("lifetime");
        QTest::addColumn<double>("expected");
        QTest::newRow("a week") << 604800.0 << 604800.0;
        QTest::newRow("zero") << 0.0 << 0.0;
        QTest::newRow("negative") << -60.0 << -60.0;
        QTest::newRow("a hundred years") << century << century;
        QTest::newRow("far beyond") << 1e15 << century;
        QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << century;
    }
    void inviteLifetimes()
    {
        QFETCH(double, lifetime);
        QFETCH(double, expected);
        QTemporaryDir dir;
        TestSupport::PinnedClock clock(kStart);
        QUuid teamID;
        {
            TeamProjectStore store(dir.path(), clock);
            const BL_Team team = store.createTeam(QStringLiteral("Core"));
            teamID = team.id;
            store.createUser(QStringLiteral("Ada"));
            const BL_Invite invite = store.createInvite(
                team.organizationID.value_or(QUuid()), team.id, BL_TeamMembershipRole::member, std::nullopt, lifetime);
            QCOMPARE(invite.expiresAt, kStart.addSeconds(expected));
        }
        TeamProjectStore again(dir.path(), clock);
        QCOMPARE(again.allTeams().size(), 1);
        QCOMPARE(again.allTeams().first().id, teamID);
        QCOMPARE(again.allUsers().size(), 1);
        QVERIFY(unreadableCopies(dir.path()).isEmpty());
    }

    // A record that cannot be read is left out; the rest of the graph stays,
    // and the stored bytes are kept aside before the next write replaces them.
    void unreadableRecordIsSkippedAndKept()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("team-projects.sqlite"));
        TeamProjectStore(dir.path()).isPersistent();
        QJsonObject document = legacyDocument(QStringLiteral("Core"));
        QJsonArray invites;
        invites.append(QJsonObject {{"id", "not an invite"}});
        document.insert(QStringLiteral("invites"), invites);
        QJsonArray users;
        users.append(QJsonObject {
            {"id", "9C2B3D4E-5F60-4172-8384-A5B6C7D8E9F1"}, {"name", "Ada"}, {"createdAt", 30.0}, {"updatedAt", 30.0}});
        users.append(QJsonObject {{"name", "no id"}});
        document.insert(QStringLiteral("users"), users);
        const QByteArray payload = QJsonDocument(document).toJson();
        writeRow(path, payload);

        TestSupport::PinnedClock clock(kStart);
        TeamProjectStore store(dir.path(), clock);
        QCOMPARE(store.allTeams().size(), 1);
        QCOMPARE(store.allTeams().first().name, QStringLiteral("Core"));
        QCOMPARE(store.allUsers().size(), 1);
        QCOMPARE(store.allUsers().first().name, QStringLiteral("Ada"));
        QVERIFY(unreadableCopies(dir.path()).isEmpty()); // reading writes nothing

        store.createTeam(QStringLiteral("Second"));
        QCOMPARE(unreadableCopies(dir.path()).size(), 1);
        QCOMPARE(readFile(dir.filePath(unreadableCopies(dir.path())[0])), payload);
        const Result<Snapshot> stored = Snapshot::fromJson(storedRows(path)[0].payload);
        QVERIFY(stored.ok());
        QCOMPARE(stored->teams.size(), 2);
        QCOMPARE(stored->users.size(), 1);
    }

    void sameUnreadableBytesAreKeptOnce()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("team-projects.sqlite"));
        TeamProjectStore(dir.path()).isPersistent();
        TestSupport::PinnedClock clock(kStart);
        for (int run = 0; run < 2; ++run) {
            writeRow(path, QByteArrayLiteral("{\"teams\":[]}"));
            TeamProjectStore store(dir.path(), clock);
            store.createUser(QStringLiteral("Ada"));
            clock.advance(3600);
        }
        writeRow(path, QByteArrayLiteral("{\"users\":[]}"));
        TeamProjectStore store(dir.path(), clock);
        store.createUser(QStringLiteral("Ada"));
        QCOMPARE(unreadableCopies(dir.path()).size(), 2);
    }

    void unusableFileKeepsTheGraphInMemory_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::newRow("not a database") << "garbage";
        QTest::newRow("truncated header") << "truncated";
        QTest::newRow("storage path under a file") << "under-file";
    }

    void unusableFileKeepsTheGraphInMemory()
    {
        QFETCH(QString, setup);
        QTemporaryDir dir;
        QString storage = dir.path();
        const QString path = dir.filePath(QStringLiteral("team-projects.sqlite"));
        QByteArray original;
        if (setup == u"garbage") {
            original = QByteArray("not a database at all\n").repeated(300);
        } else if (setup == u"truncated") {
            original = QByteArray("SQLite format 3\0", 16) + QByteArray(40, '\x10');
        } else {
            writeFile(dir.filePath(QStringLiteral("plain")), "x");
            storage = dir.filePath(QStringLiteral("plain/data"));
        }
        if (!original.isEmpty())
            writeFile(path, original);
        writeFile(dir.filePath(QStringLiteral("team-projects.json")),
            QJsonDocument(legacyDocument(QStringLiteral("Legacy"))).toJson());

        {
            TeamProjectStore store(storage);
            QVERIFY(!store.isPersistent());
            QVERIFY(store.allTeams().isEmpty()); // no import without a file
            const BL_Team team = store.createTeam(QStringLiteral("Core"));
            const BL_User user = store.ensureDefaultUser(QStringLiteral("You"));
            store.addUser(user.id, team.id, BL_TeamMembershipRole::owner);
            QCOMPARE(store.allTeams(), QList<BL_Team> {team});
            QCOMPARE(store.teamIDsForUser(user.id), QList<QUuid> {team.id});
        }
        if (!original.isEmpty())
            QCOMPARE(readFile(path), original);
        TeamProjectStore next(storage);
        QVERIFY(next.allTeams().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TeamProjectStoreTest)
#include "tst_teamprojectstore.moc"
