#include "TestSupport.h"
#include "common/UuidText.h"
#include "storage/TeamProjectStore.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>
#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include <algorithm>
#include <functional>

using Snapshot = TeamProjectStore::Snapshot;

Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

const TimePoint kStart = TimePoint::fromUnixSeconds(1735689600);

QString keyOf(const QUuid &uuid)
{
    return UuidText::lower(uuid);
}

QList<QUuid> sortedUuids(QList<QUuid> list)
{
    std::sort(list.begin(), list.end(),
        [](const QUuid &a, const QUuid &b) { return UuidText::upper(a) < UuidText::upper(b); });
    return list;
}

QStringList namesOf(const QList<BL_Team> &teams)
{
    QStringList names;
    for (const BL_Team &team : teams)
        names.append(team.name);
    return names;
}

} // namespace

class TeamProjectGraphTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TestSupport::PinnedClock> m_clock;
    std::unique_ptr<TeamProjectStore> m_store;

    TeamProjectStore &store() { return *m_store; }

    // The stored row, or the stamp of a missing row as an empty text.
    QString storedStamp()
    {
        SQLite::Database database(m_store->databaseFilePath().toStdString(), SQLite::OPEN_READONLY);
        SQLite::Statement select(database, "SELECT updated_at FROM team_project_snapshot WHERE id = 1");
        return select.executeStep() ? QString::fromStdString(select.getColumn(0).getString()) : QString();
    }

    Snapshot stored()
    {
        SQLite::Database database(m_store->databaseFilePath().toStdString(), SQLite::OPEN_READONLY);
        SQLite::Statement select(database, "SELECT payload FROM team_project_snapshot WHERE id = 1");
        if (!select.executeStep())
            return Snapshot();
        const SQLite::Column payload = select.getColumn(0);
        const auto snapshot
            = Snapshot::fromJson(QByteArray(static_cast<const char *>(payload.getBlob()), payload.getBytes()));
        if (!snapshot)
            qFatal("the stored snapshot does not decode: %s", qPrintable(snapshot.errorMessage()));
        return *snapshot;
    }

    // Whether `operation` wrote the row.
    bool writes(const std::function<void()> &operation)
    {
        m_clock->advance(1);
        const QString before = storedStamp();
        operation();
        return storedStamp() != before;
    }

    // Another run starts on a file whose snapshot was written elsewhere.
    void restartWith(const Snapshot &snapshot)
    {
        m_store.reset();
        {
            SQLite::Database database(
                m_dir->filePath(QStringLiteral("team-projects.sqlite")).toStdString(), SQLite::OPEN_READWRITE);
            SQLite::Statement update(database, "UPDATE team_project_snapshot SET payload = ? WHERE id = 1");
            const QByteArray payload = QJsonDocument(snapshot.toJson()).toJson();
            update.bind(1, static_cast<const void *>(payload.constData()), static_cast<int>(payload.size()));
            update.exec();
        }
        m_store = std::make_unique<TeamProjectStore>(m_dir->path(), *m_clock);
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_clock = std::make_unique<TestSupport::PinnedClock>(kStart);
        m_store = std::make_unique<TeamProjectStore>(m_dir->path(), *m_clock);
        QVERIFY(m_store->isPersistent());
    }

    void cleanup()
    {
        m_store.reset();
        m_clock.reset();
        m_dir.reset();
    }

    // ---- Names and records ----

    void blankNamesGetNumberedDefaults_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        for (const QString kind : {"Organization", "Team", "User", "Main Node"}) {
            QTest::addRow("%s blank", qPrintable(kind)) << kind << "  \n\t" << kind + " 3";
            QTest::addRow("%s empty", qPrintable(kind)) << kind << "" << kind + " 3";
            QTest::addRow("%s trimmed", qPrintable(kind)) << kind << "\u00a0 Alpha \n"
                                                          << "Alpha";
        }
    }

    void blankNamesGetNumberedDefaults()
    {
        QFETCH(QString, kind);
        QFETCH(QString, name);
        QFETCH(QString, expected);
        // Two existing records; main nodes count across organisations.
        auto create = [&](const QString &text) -> QString {
            if (kind == u"Organization")
                return store().createOrganization(text).name;
            if (kind == u"Team")
                return store().createTeam(text).name;
            if (kind == u"User")
                return store().createUser(text).name;
            return store().createMainNode(text, QUuid::createUuid()).name;
        };
        create(QStringLiteral("First"));
        create(QStringLiteral("Second"));
        QCOMPARE(create(name), expected);
    }

    void newRecordsAreComplete()
    {
        const BL_Organization org = store().createOrganization(QStringLiteral("  Acme & Co. "));
        QCOMPARE(org.name, QStringLiteral("Acme & Co."));
        QCOMPARE(org.slug, QStringLiteral("acme-co"));
        QCOMPARE(org.createdAt, kStart);
        QCOMPARE(org.updatedAt, kStart);
        const BL_User user = store().createUser(QStringLiteral("Ada"));
        QVERIFY(!user.email && !user.googleSubjectID && !user.authProvider && !user.avatarURL);
        const BL_MainNode node = store().createMainNode(QStringLiteral("Primary Node"), org.id);
        QCOMPARE(node.status, BL_NodeStatus::unknown);
        QVERIFY(!node.hostLabel && !node.lastHeartbeatAt);
        QCOMPARE(store().createMainNode(QString(), org.id, QStringLiteral(" lab ")).hostLabel,
            std::optional<QString>(QStringLiteral(" lab ")));
        QCOMPARE(stored().organizations, QList<BL_Organization> {org});
        QCOMPARE(stored().users, QList<BL_User> {user});
    }

    // ---- Organisations and teams ----

    void ensureDefaultOrganizationMatchesUntrimmedNames()
    {
        const BL_Organization personal = store().ensureDefaultOrganization(QStringLiteral("Personal Org"));
        QVERIFY(
            !writes([&] { QCOMPARE(store().ensureDefaultOrganization(QStringLiteral("personal org")), personal); }));

        BL_Organization spaced;
        QVERIFY(writes([&] { spaced = store().ensureDefaultOrganization(QStringLiteral(" Personal Org")); }));
        QVERIFY(spaced.id != personal.id);
        QCOMPARE(spaced.name, QStringLiteral("Personal Org"));
        QVERIFY(store().ensureDefaultOrganization(QStringLiteral(" Personal Org")).id != spaced.id);
        QCOMPARE(store().allOrganizations().size(), 3);
    }

    void ensureDefaultTeamMatchesNameAndOrganization_data()
    {
        QTest::addColumn<int>("existingOrg"); // 0: none, 1: A, 2: B
        QTest::addColumn<int>("askedOrg"); // 0: none given, 1: A
        QTest::addColumn<bool>("matches");
        QTest::newRow("no organisation asked, team has none") << 0 << 0 << true;
        QTest::newRow("no organisation asked, team has one") << 2 << 0 << true;
        QTest::newRow("same organisation") << 1 << 1 << true;
        QTest::newRow("other organisation") << 2 << 1 << false;
        QTest::newRow("team without organisation") << 0 << 1 << false;
    }

    void ensureDefaultTeamMatchesNameAndOrganization()
    {
        QFETCH(int, existingOrg);
        QFETCH(int, askedOrg);
        QFETCH(bool, matches);
        const QUuid orgs[] = {QUuid(), QUuid::createUuid(), QUuid::createUuid()};
        auto optionalOrg = [&](int index) { return index == 0 ? std::nullopt : std::optional<QUuid>(orgs[index]); };
        const BL_Team existing = store().createTeam(QStringLiteral("Personal"), optionalOrg(existingOrg));
        BL_Team found;
        const bool wrote
            = writes([&] { found = store().ensureDefaultTeam(QStringLiteral("personal"), optionalOrg(askedOrg)); });
        QCOMPARE(found.id == existing.id, matches);
        QCOMPARE(wrote, !matches);
        if (!matches) {
            QCOMPARE(found.name, QStringLiteral("personal"));
            QCOMPARE(found.organizationID, optionalOrg(askedOrg));
        }
    }

    void teamsOfAnOrganization()
    {
        const QUuid org = QUuid::createUuid();
        const BL_Team a = store().createTeam(QStringLiteral("A"), org);
        store().createTeam(QStringLiteral("Loose"));
        store().createTeam(QStringLiteral("Elsewhere"), QUuid::createUuid());
        const BL_Team b = store().createTeam(QStringLiteral("B"), org);
        QCOMPARE(store().teams(org), (QList<BL_Team> {a, b}));
        QCOMPARE(store().organizationIDForTeam(a.id), std::optional<QUuid>(org));
        QCOMPARE(stored().orgToTeamIDs.value(keyOf(org)), sortedUuids({a.id, b.id}));
        QVERIFY(!store().organizationIDForTeam(QUuid::createUuid()));
        QVERIFY(store().teams(QUuid()).isEmpty());
    }

    void listingsAreInCreationOrder()
    {
        m_clock->advance(100);
        store().createTeam(QStringLiteral("Newest"));
        m_clock->advance(-50);
        store().createTeam(QStringLiteral("Middle"));
        store().createTeam(QStringLiteral("Middle twin")); // same moment: keeps list order
        m_clock->advance(-50);
        store().createTeam(QStringLiteral("Oldest"));
        QCOMPARE(namesOf(store().allTeams()), (QStringList {"Oldest", "Middle", "Middle twin", "Newest"}));
        QCOMPARE(namesOf(stored().teams), (QStringList {"Newest", "Middle", "Middle twin", "Oldest"}));
    }

    // ---- Projects ----

    void assignKeepsEachListASortedSet()
    {
        const QUuid org = QUuid::createUuid();
        const BL_Team team = store().createTeam(QStringLiteral("Core"), org);
        QList<QUuid> projects;
        for (int i = 0; i < 12; ++i)
            projects.append(QUuid::createUuid());
        for (const QUuid &project : projects) {
            store().assign(project, team.id);
            store().assign(project, team.id);
        }
        const QList<QUuid> expected = sortedUuids(projects);
        QCOMPARE(store().projectIDsForTeam(team.id), expected);
        QCOMPARE(store().projectIDsForOrganization(org), expected);
        QCOMPARE(store().teamIDsForProject(projects[0]), QList<QUuid> {team.id});
        QCOMPARE(stored().projectToOrgID.value(keyOf(projects[3])), org);
        QCOMPARE(stored().teamToProjectIDs.value(keyOf(team.id)), expected);
    }

    void assignWithoutOrganizationLeavesOrganizationMapsAlone()
    {
        const BL_Team team = store().createTeam(QStringLiteral("Loose"));
        const QUuid project = QUuid::createUuid();
        store().assign(project, team.id);
        QVERIFY(stored().projectToOrgID.isEmpty());
        QVERIFY(stored().orgToProjectIDs.isEmpty());
    }

    void unassignLeavesEmptyListsAndTheOrganizationList()
    {
        const QUuid org = QUuid::createUuid();
        const BL_Team team = store().createTeam(QStringLiteral("Core"), org);
        const QUuid project = QUuid::createUuid();
        store().assign(project, team.id);
        store().unassign(project, team.id);
        const Snapshot snapshot = stored();
        QVERIFY(!snapshot.projectToOrgID.contains(keyOf(project)));
        QVERIFY(snapshot.projectToTeamIDs.contains(keyOf(project)));
        QVERIFY(snapshot.projectToTeamIDs.value(keyOf(project)).isEmpty());
        QVERIFY(snapshot.teamToProjectIDs.contains(keyOf(team.id)));
        QVERIFY(snapshot.teamToProjectIDs.value(keyOf(team.id)).isEmpty());
        QCOMPARE(store().projectIDsForOrganization(org), QList<QUuid> {project});

        // Unassigning what was never there still stores the empty lists.
        const QUuid other = QUuid::createUuid();
        store().unassign(other, team.id);
        QVERIFY(stored().projectToTeamIDs.contains(keyOf(other)));
    }

    void unassignFromOneOfTwoTeamsKeepsTheOrganization()
    {
        const QUuid org = QUuid::createUuid();
        const BL_Team first = store().createTeam(QStringLiteral("One"), org);
        const BL_Team second = store().createTeam(QStringLiteral("Two"), org);
        const QUuid project = QUuid::createUuid();
        store().assign(project, first.id);
        store().assign(project, second.id);
        store().unassign(project, first.id);
        QCOMPARE(stored().projectToOrgID.value(keyOf(project)), org);
        QCOMPARE(store().teamIDsForProject(project), QList<QUuid> {second.id});
    }

    void removeProjectForgetsTeamsAndOwner()
    {
        const QUuid org = QUuid::createUuid();
        const BL_Team first = store().createTeam(QStringLiteral("One"), org);
        const BL_Team second = store().createTeam(QStringLiteral("Two"));
        const QUuid project = QUuid::createUuid();
        const QUuid kept = QUuid::createUuid();
        store().assign(project, first.id);
        store().assign(project, second.id);
        store().assign(kept, first.id);
        store().setOwner(QUuid::createUuid(), project);
        store().removeProject(project);
        const Snapshot snapshot = stored();
        QCOMPARE(snapshot.teamToProjectIDs.value(keyOf(first.id)), QList<QUuid> {kept});
        QVERIFY(snapshot.teamToProjectIDs.contains(keyOf(second.id)));
        QVERIFY(snapshot.teamToProjectIDs.value(keyOf(second.id)).isEmpty());
        QVERIFY(!snapshot.projectToTeamIDs.contains(keyOf(project)));
        QVERIFY(!store().ownerForProject(project));
        QCOMPARE(snapshot.projectToOrgID.value(keyOf(project)), org); // organisation maps untouched
        QVERIFY(snapshot.orgToProjectIDs.value(keyOf(org)).contains(project));

        const Snapshot before = stored();
        QVERIFY(writes([&] { store().removeProject(QUuid::createUuid()); }));
        QCOMPARE(stored(), before);
    }

    void everyProjectGetsADefaultTeam()
    {
        const QUuid org = QUuid::createUuid();
        const BL_Team personal = store().createTeam(QStringLiteral("Personal"), org);
        const QUuid lone = QUuid::createUuid();
        const QUuid placed = QUuid::createUuid();
        const QUuid orphaned = QUuid::createUuid();
        const QUuid goneTeam = QUuid::createUuid();
        const BL_Team other = store().createTeam(QStringLiteral("Other"));
        store().assign(placed, other.id);
        store().assign(orphaned, goneTeam);
        store().unassign(lone, other.id); // an empty list counts as no team

        store().ensureEveryProjectBelongsToDefaultTeam({lone, placed, orphaned}, personal.id);
        QCOMPARE(store().teamIDsForProject(lone), QList<QUuid> {personal.id});
        QCOMPARE(store().teamIDsForProject(placed), QList<QUuid> {other.id});
        QCOMPARE(store().teamIDsForProject(orphaned), QList<QUuid> {goneTeam});
        QCOMPARE(store().projectIDsForTeam(personal.id), QList<QUuid> {lone});
        QCOMPARE(store().projectIDsForOrganization(org), QList<QUuid> {lone});

        const Snapshot before = stored();
        QVERIFY(writes([&] { store().ensureEveryProjectBelongsToDefaultTeam({}, personal.id); }));
        QCOMPARE(stored(), before);
    }

    void projectsWithoutOwnerGetTheDefaultOwner()
    {
        const QUuid owned = QUuid::createUuid();
        const QUuid unowned = QUuid::createUuid();
        const QUuid departed = QUuid::createUuid();
        const QUuid fallback = QUuid::createUuid();
        store().setOwner(departed, owned);
        QVERIFY(writes([&] { store().ensureProjectsHaveOwner({owned, unowned}, fallback); }));
        QCOMPARE(store().ownerForProject(owned), std::optional<QUuid>(departed));
        QCOMPARE(store().ownerForProject(unowned), std::optional<QUuid>(fallback));
        store().setOwner(fallback, owned);
        QCOMPARE(store().ownerForProject(owned), std::optional<QUuid>(fallback));
    }

    // ---- De-duplication ----

    void duplicateTeamsMergeIntoTheOldest()
    {
        const QUuid org = QUuid::createUuid();
        const BL_Team alpha = store().createTeam(QStringLiteral("Alpha"), org);
        m_clock->advance(10);
        const BL_Team twin = store().createTeam(QStringLiteral("Alpha"), org);
        // createTeam trims; an older version of the file may not have.
        const QUuid sharedProject = QUuid::createUuid();
        const QUuid twinProject = QUuid::createUuid();
        const QUuid both = QUuid::createUuid();
        const QUuid onlyTwin = QUuid::createUuid();
        store().assign(sharedProject, alpha.id);
        store().assign(sharedProject, twin.id);
        store().assign(twinProject, twin.id);
        store().addUser(both, alpha.id, BL_TeamMembershipRole::viewer);
        store().addUser(both, twin.id, BL_TeamMembershipRole::owner);
        store().addUser(onlyTwin, twin.id, BL_TeamMembershipRole::admin);
        const QUuid inviteTeam = twin.id;
        store().createInvite(org, inviteTeam, BL_TeamMembershipRole::member, std::nullopt, 60);

        QVERIFY(writes([&] { store().deduplicateTeamsByName(); }));
        const Snapshot snapshot = stored();
        QCOMPARE(snapshot.teams, QList<BL_Team> {alpha});
        const QString alphaKey = keyOf(alpha.id);
        const QString twinKey = keyOf(twin.id);
        QCOMPARE(snapshot.teamToProjectIDs.value(alphaKey), sortedUuids({sharedProject, twinProject}));
        QCOMPARE(snapshot.projectToTeamIDs.value(keyOf(sharedProject)), QList<QUuid> {alpha.id});
        QCOMPARE(snapshot.projectToTeamIDs.value(keyOf(twinProject)), QList<QUuid> {alpha.id});
        QCOMPARE(snapshot.teamToUserIDs.value(alphaKey), sortedUuids({both, onlyTwin}));
        QCOMPARE(snapshot.userToTeamIDs.value(keyOf(onlyTwin)), QList<QUuid> {alpha.id});
        QCOMPARE(snapshot.membershipRoles.value(alphaKey + u':' + keyOf(both)), BL_TeamMembershipRole::viewer);
        QCOMPARE(snapshot.membershipRoles.value(alphaKey + u':' + keyOf(onlyTwin)), BL_TeamMembershipRole::admin);
        QVERIFY(!snapshot.membershipRoles.contains(twinKey + u':' + keyOf(both)));
        QVERIFY(!snapshot.teamToProjectIDs.contains(twinKey));
        QVERIFY(!snapshot.teamToUserIDs.contains(twinKey));
        QVERIFY(!snapshot.teamToOrgID.contains(twinKey));
        QCOMPARE(snapshot.orgToTeamIDs.value(keyOf(org)), QList<QUuid> {alpha.id});
        QCOMPARE(snapshot.invites[0].teamID, std::optional<QUuid>(twin.id)); // invites are not touched
    }

    void namesAreComparedTrimmedAndLowerCased()
    {
        // A file written elsewhere may hold untrimmed names.
        const BL_Team alpha = store().createTeam(QStringLiteral("Alpha"));
        m_clock->advance(1);
        const BL_Team spaced = store().createTeam(QStringLiteral("Spaced"));
        Snapshot snapshot = stored();
        snapshot.teams[1].name = QStringLiteral(" alpha\n");
        restartWith(snapshot);
        store().deduplicateTeamsByName();
        QCOMPARE(store().allTeams(), QList<BL_Team> {alpha});
        Q_UNUSED(spaced);
    }

    void mergeAcrossOrganizationsKeepsTheKeptTeamsOrganization()
    {
        const QUuid orgA = QUuid::createUuid();
        const QUuid orgB = QUuid::createUuid();
        const BL_Team kept = store().createTeam(QStringLiteral("Ops"), orgA);
        m_clock->advance(1);
        const BL_Team merged = store().createTeam(QStringLiteral("ops"), orgB);
        m_clock->advance(1);
        const BL_Team loose = store().createTeam(QStringLiteral("Design"));
        m_clock->advance(1);
        const BL_Team adopted = store().createTeam(QStringLiteral("DESIGN"), orgB);
        store().deduplicateTeamsByName();
        const Snapshot snapshot = stored();
        QCOMPARE(snapshot.teams, (QList<BL_Team> {kept, loose}));
        QCOMPARE(snapshot.teamToOrgID.value(keyOf(kept.id)), orgA);
        QCOMPARE(snapshot.orgToTeamIDs.value(keyOf(orgB)), sortedUuids({kept.id, loose.id}));
        QCOMPARE(snapshot.teamToOrgID.value(keyOf(loose.id)), orgB); // took the merged team's organisation
        Q_UNUSED(merged);
        Q_UNUSED(adopted);
    }

    void deduplicationWithoutDuplicatesReordersAndWrites()
    {
        m_clock->advance(5);
        store().createTeam(QStringLiteral("Later"));
        m_clock->advance(-5);
        store().createTeam(QStringLiteral("Earlier"));
        QVERIFY(writes([&] { store().deduplicateTeamsByName(); }));
        QCOMPARE(namesOf(stored().teams), (QStringList {"Earlier", "Later"}));
    }

    void defaultNamedTeamMergesIntoTheSameName()
    {
        store().createTeam(QStringLiteral("A"));
        store().createTeam(QStringLiteral("Team 3"));
        m_clock->advance(1);
        const BL_Team numbered = store().createTeam(QStringLiteral("  "));
        QCOMPARE(numbered.name, QStringLiteral("Team 3"));
        store().deduplicateTeamsByName();
        QCOMPARE(namesOf(store().allTeams()), (QStringList {"A", "Team 3"}));
    }

    void teamsWithBlankNamesStayListed()
    {
        const BL_Team named = store().createTeam(QStringLiteral("Core"));
        const BL_Team unnamed = store().createTeam(QStringLiteral("Temp"));
        const BL_Team other = store().createTeam(QStringLiteral("Other"));
        const QUuid project = QUuid::createUuid();
        store().assign(project, unnamed.id);
        // A team whose name is blank can only come from a file written elsewhere.
        Snapshot snapshot = stored();
        snapshot.teams[1].name = QStringLiteral(" ");
        snapshot.teams[2].name = QString();
        restartWith(snapshot);
        store().deduplicateTeamsByName();
        const QList<BL_Team> teams = store().allTeams();
        QCOMPARE(teams.size(), 3);
        QCOMPARE(teams[0].id, named.id);
        QCOMPARE(teams[1].id, unnamed.id);
        QCOMPARE(teams[2].id, other.id);
        QCOMPARE(store().teamIDsForProject(project), QList<QUuid> {unnamed.id});
        QCOMPARE(stored().teams.size(), 3);
    }

    // ---- Users ----

    void findUserMatchesNormalisedKeys_data()
    {
        QTest::addColumn<std::optional<QString>>("storedEmail");
        QTest::addColumn<std::optional<QString>>("storedSubject");
        QTest::addColumn<std::optional<QString>>("email");
        QTest::addColumn<std::optional<QString>>("subject");
        QTest::addColumn<bool>("found");
        using S = std::optional<QString>;
        const S none;
        QTest::newRow("capitals and spaces")
            << S("ada@example.com") << none << S("  Ada@Example.COM \n") << none << true;
        QTest::newRow("stored with capitals") << S("Ada@Example.com") << none << S("ada@example.com") << none << true;
        QTest::newRow("stored with a leading space")
            << S(" ada@example.com") << none << S("ada@example.com") << none << false;
        QTest::newRow("subject trimmed") << none << S("10593") << none << S(" 10593\t") << true;
        QTest::newRow("subject keeps case") << none << S("AbC") << none << S("abc") << false;
        QTest::newRow("blank texts") << S("") << S("") << S("  ") << S(" ") << false;
        QTest::newRow("nothing given") << S("ada@example.com") << S("1") << none << none << false;
    }

    void findUserMatchesNormalisedKeys()
    {
        QFETCH(std::optional<QString>, storedEmail);
        QFETCH(std::optional<QString>, storedSubject);
        QFETCH(std::optional<QString>, email);
        QFETCH(std::optional<QString>, subject);
        QFETCH(bool, found);
        const BL_User user
            = store().upsertUser(QStringLiteral("Ada"), QStringLiteral("other@example.com"), std::nullopt);
        // Set the stored values exactly, bypassing the normalisation.
        Snapshot snapshot = stored();
        snapshot.users[0].email = storedEmail;
        snapshot.users[0].googleSubjectID = storedSubject;
        restartWith(snapshot);
        const std::optional<BL_User> result = store().findUser(email, subject);
        QCOMPARE(result.has_value(), found);
        if (found)
            QCOMPARE(result->id, user.id);
    }

    void earlierUserMatchingByEmailWins()
    {
        const BL_User a = store().upsertUser(QStringLiteral("A"), QStringLiteral("a@example.com"), std::nullopt);
        const BL_User b = store().upsertUser(QStringLiteral("B"), std::nullopt, QStringLiteral("sub-b"));
        QCOMPARE(store().findUser(QStringLiteral("A@example.com"), QStringLiteral("sub-b"))->id, a.id);
        const BL_User updated
            = store().upsertUser(QStringLiteral("A2"), QStringLiteral("a@example.com"), QStringLiteral("sub-b"));
        QCOMPARE(updated.id, a.id);
        QCOMPARE(updated.googleSubjectID, std::optional<QString>(QStringLiteral("sub-b")));
        QCOMPARE(store().allUsers().size(), 2);
        Q_UNUSED(b);
    }

    void upsertUserUpdatesOrCreates()
    {
        const BL_User ada
            = store().upsertUser(QStringLiteral(" Ada "), QStringLiteral(" Ada@Example.com "), QStringLiteral(" g-1 "));
        QCOMPARE(ada.name, QStringLiteral("Ada"));
        QCOMPARE(ada.email, std::optional<QString>(QStringLiteral("ada@example.com")));
        QCOMPARE(ada.googleSubjectID, std::optional<QString>(QStringLiteral("g-1")));

        m_clock->advance(30);
        // Blank keys do not overwrite; a blank name becomes the default name.
        const BL_User renamed
            = store().upsertUser(QStringLiteral("  "), QStringLiteral("ada@example.com"), QStringLiteral(" "));
        QCOMPARE(renamed.id, ada.id);
        QCOMPARE(renamed.name, QStringLiteral("User 2"));
        QCOMPARE(renamed.googleSubjectID, ada.googleSubjectID);
        QCOMPARE(renamed.createdAt, ada.createdAt);
        QCOMPARE(renamed.updatedAt, kStart.addSeconds(30));
        QCOMPARE(stored().users, QList<BL_User> {renamed});

        const BL_User blankEmail = store().upsertUser(QStringLiteral("Bo"), QStringLiteral("   "), std::nullopt);
        QVERIFY(blankEmail.id != ada.id);
        QCOMPARE(blankEmail.email, std::optional<QString>(QString()));
        QVERIFY(!blankEmail.googleSubjectID);
    }

    void ensureDefaultUserMatchesNameIgnoringCase()
    {
        const BL_User you = store().ensureDefaultUser(QStringLiteral("You"));
        QVERIFY(!writes([&] { QCOMPARE(store().ensureDefaultUser(QStringLiteral("YOU")), you); }));
        QVERIFY(writes([&] { QVERIFY(store().ensureDefaultUser(QStringLiteral("You ")).id != you.id); }));
    }

    void addUserRecordsMembershipAndRole()
    {
        const QUuid org = QUuid::createUuid();
        const BL_Team team = store().createTeam(QStringLiteral("Core"), org);
        const BL_Team loose = store().createTeam(QStringLiteral("Loose"));
        const BL_User user = store().createUser(QStringLiteral("Ada"));
        store().addUser(user.id, team.id, BL_TeamMembershipRole::member);
        store().addUser(user.id, team.id, BL_TeamMembershipRole::admin);
        store().addUser(user.id, loose.id, BL_TeamMembershipRole::viewer);
        const Snapshot snapshot = stored();
        QCOMPARE(store().teamIDsForUser(user.id), sortedUuids({team.id, loose.id}));
        QCOMPARE(store().organizationIDsForUser(user.id), QList<QUuid> {org});
        QCOMPARE(snapshot.teamToUserIDs.value(keyOf(team.id)), QList<QUuid> {user.id});
        QCOMPARE(snapshot.orgToUserIDs.value(keyOf(org)), QList<QUuid> {user.id});
        QCOMPARE(snapshot.membershipRoles.value(keyOf(team.id) + u':' + keyOf(user.id)), BL_TeamMembershipRole::admin);
        QCOMPARE(snapshot.membershipRoles.size(), 2);
        QVERIFY(store().teamIDsForUser(QUuid::createUuid()).isEmpty());
    }

    // ---- Invites ----

    void createInviteFillsItsFields()
    {
        const QUuid org = QUuid::createUuid();
        const QUuid team = QUuid::createUuid();
        const BL_Invite invite
            = store().createInvite(org, team, BL_TeamMembershipRole::admin, QStringLiteral(" Bo@Example.com"), 3600);
        QCOMPARE(invite.token.size(), 32);
        QVERIFY(!invite.token.contains(u'-'));
        QCOMPARE(invite.token, invite.token.toLower());
        QCOMPARE(invite.email, std::optional<QString>(QStringLiteral(" bo@example.com")));
        QCOMPARE(invite.organizationID, std::optional<QUuid>(org));
        QCOMPARE(invite.status, BL_InviteStatus::pending);
        QCOMPARE(invite.inviteURL, QString());
        QCOMPARE(invite.expiresAt, kStart.addSeconds(3600));
        QVERIFY(!invite.acceptedByUserID);
        QCOMPARE(stored().invites, QList<BL_Invite> {invite});
        QVERIFY(store().createInvite(org, std::nullopt, BL_TeamMembershipRole::member, std::nullopt, 60).token
            != invite.token);
    }

    void acceptInviteRefusals_data()
    {
        QTest::addColumn<std::optional<QString>>("inviteEmail");
        QTest::addColumn<std::optional<QString>>("givenEmail");
        QTest::addColumn<double>("lifetime");
        QTest::addColumn<QString>("tokenForm"); // as made, in capitals, or another
        QTest::addColumn<QString>("outcome"); // accepted, refused, expired
        using S = std::optional<QString>;
        QTest::newRow("e-mails equal ignoring case") << S("Bo@Example.com") << S("bo@example.com") << 60.0 << "same"
                                                     << "accepted";
        QTest::newRow("caller gives no e-mail") << S("bo@example.com") << S() << 60.0 << "same"
                                                << "accepted";
        QTest::newRow("invite has no e-mail") << S() << S("anyone@example.com") << 60.0 << "same"
                                              << "accepted";
        QTest::newRow("other e-mail") << S("bo@example.com") << S("eve@example.com") << 60.0 << "same"
                                      << "refused";
        QTest::newRow("e-mail not trimmed") << S("bo@example.com") << S(" bo@example.com") << 60.0 << "same"
                                            << "refused";
        QTest::newRow("token in capitals") << S() << S() << 60.0 << "upper"
                                           << "refused";
        QTest::newRow("unknown token") << S() << S() << 60.0 << "other"
                                       << "refused";
        // The clock moves on by one second before the invite is accepted.
        QTest::newRow("expires this moment") << S() << S() << 1.0 << "same"
                                             << "expired";
        QTest::newRow("expired earlier") << S() << S() << 0.0 << "same"
                                         << "expired";
    }

    void acceptInviteRefusals()
    {
        QFETCH(std::optional<QString>, inviteEmail);
        QFETCH(std::optional<QString>, givenEmail);
        QFETCH(double, lifetime);
        QFETCH(QString, tokenForm);
        QFETCH(QString, outcome);
        const QUuid org = QUuid::createUuid();
        const BL_Team team = store().createTeam(QStringLiteral("Core"), org);
        const BL_Invite invite
            = store().createInvite(org, team.id, BL_TeamMembershipRole::admin, inviteEmail, lifetime);
        const QUuid user = QUuid::createUuid();
        std::optional<BL_Invite> accepted;
        const QString token = tokenForm == u"same" ? invite.token
            : tokenForm == u"upper"                ? invite.token.toUpper()
                                                   : BL_Invite::makeToken();
        const bool wrote = writes([&] { accepted = store().acceptInvite(token, user, givenEmail); });
        const BL_Invite storedInvite = stored().invites[0];
        if (outcome == u"accepted") {
            QVERIFY(wrote);
            QVERIFY(accepted);
            QCOMPARE(accepted->status, BL_InviteStatus::accepted);
            QCOMPARE(accepted->acceptedByUserID, std::optional<QUuid>(user));
            QCOMPARE(accepted->updatedAt, kStart.addSeconds(1));
            QCOMPARE(storedInvite, *accepted);
            QCOMPARE(store().teamIDsForUser(user), QList<QUuid> {team.id});
            QCOMPARE(store().organizationIDsForUser(user), QList<QUuid> {org});
            QCOMPARE(stored().membershipRoles.value(keyOf(team.id) + u':' + keyOf(user)), BL_TeamMembershipRole::admin);
            // The same invite a second time: nothing, and no write.
            QVERIFY(!writes([&] { QVERIFY(!store().acceptInvite(token, user, givenEmail)); }));
        } else if (outcome == u"expired") {
            QVERIFY(!accepted);
            QVERIFY(wrote);
            QCOMPARE(storedInvite.status, BL_InviteStatus::expired);
            QVERIFY(store().teamIDsForUser(user).isEmpty());
        } else {
            QVERIFY(!accepted);
            QVERIFY(!wrote);
            QCOMPARE(storedInvite, invite);
        }
    }

    void inviteWithoutTeamChangesNoMap()
    {
        const BL_Invite invite
            = store().createInvite(QUuid::createUuid(), std::nullopt, BL_TeamMembershipRole::member, std::nullopt, 60);
        const Snapshot before = stored();
        const std::optional<BL_Invite> accepted = store().acceptInvite(invite.token, QUuid::createUuid(), std::nullopt);
        QVERIFY(accepted);
        QCOMPARE(accepted->status, BL_InviteStatus::accepted);
        Snapshot after = stored();
        after.invites = before.invites;
        QCOMPARE(after, before);
    }

    // ---- Main nodes ----

    void mainNodesOfAnOrganization()
    {
        const QUuid org = QUuid::createUuid();
        m_clock->advance(10);
        const BL_MainNode later = store().createMainNode(QStringLiteral("Later"), org);
        store().createMainNode(QStringLiteral("Elsewhere"), QUuid::createUuid());
        m_clock->advance(-5);
        const BL_MainNode earlier = store().createMainNode(QStringLiteral("  "), org);
        QCOMPARE(earlier.name, QStringLiteral("Main Node 3"));
        QCOMPARE(store().mainNodes(org), (QList<BL_MainNode> {earlier, later}));
        QVERIFY(store().mainNodes(QUuid::createUuid()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TeamProjectGraphTest)
#include "tst_teamprojectgraph.moc"
