#include "../state/AppStateFixture.h"
#include "FakeCloudBackend.h"
#include "cloud/KeychainSessionStore.h"
#include "common/Json.h"
#include "common/UuidText.h"

#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTest>

namespace {

TaskCreationRequest request(const QUuid &projectID, const QString &title)
{
    TaskCreationRequest r;
    r.projectID = projectID;
    r.title = title;
    r.acceptanceCriteria = QStringLiteral("works");
    r.priority = QStringLiteral("high");
    r.sizeEstimate = QStringLiteral("M");
    return r;
}

QStringList withPrefix(const QStringList &lines, const QString &prefix)
{
    QStringList kept;
    for (const QString &line : lines)
        if (line.startsWith(prefix))
            kept.append(line);
    return kept;
}

} // namespace

// The application state against the stand-in backend: one signed-in
// installation with one workspace and a pinned clock.
struct CloudBench
{
    FakeCloudBackend backend;
    AppStateFixture fixture;
    TestSupport::PinnedClock clock {TimePoint::fromUnixSeconds(1767607200.5)};
    MemorySecretBackend *secrets = nullptr;
    bool active = true;
    QNetworkAccessManager browser;
    std::unique_ptr<AppState> state;
    QUuid project;

    CloudBench(bool syncOn)
    {
        fixture.defaults.setValue(AppSettings::backendBaseURLKey, backend.origin() + QStringLiteral("/"));
        fixture.defaults.setValue(AppSettings::googleOAuthClientIDKey, QStringLiteral("client-1"));
        fixture.defaults.setValue(AppSettings::remoteTaskSyncFlagKey, false);
        fixture.configure = [this](AppStateOptions &options) {
            auto keyring = std::make_unique<MemorySecretBackend>();
            secrets = keyring.get();
            options.sessionStore = std::make_unique<KeychainSessionStore>(std::move(keyring));
            options.clock = &clock;
            options.apiClient.timeoutMs = 15000;
            options.googleSignIn.authorizationEndpoint = backend.origin() + QStringLiteral("/oauth/authorize");
            options.googleSignIn.tokenEndpoint = backend.origin() + QStringLiteral("/oauth/token");
            options.googleSignIn.listenerTimeoutMs = 20000;
            options.googleSignIn.openBrowser = [this](const QUrl &url) {
                QNetworkReply *reply = browser.get(QNetworkRequest(url));
                QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
                return true;
            };
            options.activity.isActive = [this] { return active; };
        };
        state = fixture.make();
        AppStateFixture::run(state->bootstrap());
        // The start-up health snapshot may not send anything later on.
        TestSupport::waitUntil(
            [&] { return state->prefetchedHealthLastUpdated() && !state->isRefreshingHealthSnapshot(); });
        project = state->projects().first().id;
        if (syncOn) {
            state->setRemoteTaskSyncFeatureEnabled(true);
            TestSupport::waitUntil([&] { return log().contains(QStringLiteral("no valid access token")); });
        }
        backend.reset();
    }
    QString log() const { return state->oauthDebugLogText(); }
    BL_Task task(const QUuid &id) const { return *state->boardTask(project, id); }
};

class TestCloudSync : public QObject
{
    Q_OBJECT

private slots:
    void signInRegistersPushesAndPulls()
    {
        CloudBench bench(true);
        QVERIFY(bench.backend.isRunning());
        AppState &state = *bench.state;
        state.setCurrentNodeType(BL_NodeType::subNode);
        state.createTask(request(bench.project, QStringLiteral("First")));
        state.createTask(request(bench.project, QStringLiteral("Second")));
        const QList<QUuid> localIDs = state.taskStore(bench.project)->taskByID().keys();
        QCOMPARE(localIDs.size(), 2);
        const QByteArray history = bench.task(localIDs.first()).taskHistoryData;

        QVERIFY(AppStateFixture::run(state.startGoogleSignIn()));
        QVERIFY2(state.isAuthenticated(), qPrintable(bench.log()));
        QVERIFY(bench.log().contains(QStringLiteral("Backend session created via native Google sign-in.")));
        QVERIFY(bench.secrets->items.value(KeychainSessionStore::defaultService() + QStringLiteral("|default-session"))
                    .contains("backend-access-token"));
        QCOMPARE(state.currentNodeType(), std::optional<BL_NodeType>(BL_NodeType::mainNode));
        QVERIFY(state.hasRegisteredNodeRemotely());
        QCOMPARE(state.currentUserEmail(), std::optional<QString>(QStringLiteral("ada@example.com")));

        const QString p = QStringLiteral("/v1/projects/") + UuidText::lower(bench.project);
        const QStringList lines = bench.backend.requestLines();
        QStringList expectedStart {"GET /oauth/authorize", "POST /oauth/token", "POST /v1/auth/google/native-signin",
            "POST /v1/nodes/register", "POST /v1/projects", "GET /v1/me"};
        QCOMPARE(lines.mid(0, 6), expectedStart);
        QStringList pushes;
        for (const QUuid &id : localIDs) {
            const QString t = p + QStringLiteral("/tasks/") + UuidText::lower(id);
            const QString remote
                = p + QStringLiteral("/tasks/") + UuidText::lower(state.remoteTaskIDByLocalTaskID().value(id));
            pushes += QStringList {"PATCH " + t, "POST " + p + "/tasks", "PATCH " + remote + "/worker-state",
                "PATCH " + remote + "/delegation"};
        }
        const QStringList pushed = lines.mid(6, 8);
        QCOMPARE(QSet<QString>(pushed.cbegin(), pushed.cend()), QSet<QString>(pushes.cbegin(), pushes.cend()));
        QCOMPARE(lines.mid(14), QStringList {"GET " + p + "/tasks"});
        const auto registration = bench.backend.requests().at(3).json();
        QCOMPARE(registration.value("platform").toString(), QStringLiteral("Linux"));
        QCOMPARE(registration.value("node_type").toString(), QStringLiteral("mainNode"));

        // The backend context scopes the workspaces and the sidebar counts.
        QCOMPARE(state.projectsForSelectedTeam().size(), 1);
        QCOMPARE(state.myTeamsWorkspaceCount(), 1);
        QCOMPARE(state.projectCount(state.teams().first().id), 1);
        QCOMPARE(state.projectCount(QUuid::createUuid()), 0);

        // The pull mapped the backend copies back onto the local tasks.
        QCOMPARE(state.taskStore(bench.project)->taskByID().size(), 2);
        for (const QUuid &id : localIDs)
            QVERIFY(state.remoteTaskIDByLocalTaskID().value(id) != id);

        // Nothing changed: the next poll only reads the list.
        const qsizetype seen = bench.backend.requests().size();
        QVERIFY(AppStateFixture::run(state.pollRemoteTasksAcrossProjects(QStringLiteral("local-move"))));
        QCOMPARE(bench.backend.requestLines().mid(seen), QStringList {"GET " + p + "/tasks"});

        // A newer backend copy wins but keeps the history the upload never carried.
        const QUuid first = localIDs.first();
        const QUuid remoteFirst = state.remoteTaskIDByLocalTaskID().value(first);
        BL_Task newer = bench.task(first);
        newer.status = BL_TaskStatus::queued;
        newer.updatedAt = bench.clock.now().addSeconds(60);
        QJsonObject payload = newer.uploadBody();
        QVERIFY(
            awaitTask(state.apiClient().patchTask(bench.backend.apiRoot(), "t", bench.project, remoteFirst, payload))
                ->ok());
        // A task of another workspace in the same reply is ignored.
        const QUuid foreignProject = QUuid::createUuid();
        QJsonObject tasks = bench.backend.tasks();
        QJsonObject projectTasks = tasks.value(UuidText::lower(bench.project)).toObject();
        QJsonArray list;
        for (const QJsonValue &value : projectTasks)
            list.append(value);
        list.append(
            QJsonObject {{"id", UuidText::lower(QUuid::createUuid())}, {"project_id", UuidText::lower(foreignProject)},
                {"status", "backlog"}, {"input_data", QJsonObject {{"title", "Elsewhere"}}},
                {"metadata", QJsonObject {{"local_task_id", UuidText::lower(localIDs.last())}}}});
        bench.backend.script({{"method", "GET"}, {"path", p + "/tasks"}, {"json", QJsonObject {{"tasks", list}}}});
        QVERIFY(AppStateFixture::run(state.pollRemoteTasksAcrossProjects(QStringLiteral("local-move"))));
        QCOMPARE(bench.task(first).status, BL_TaskStatus::queued);
        QCOMPARE(bench.task(first).taskHistoryData, history);
        QCOMPARE(state.taskStore(bench.project)->taskByID().size(), 2);
        QCOMPARE(bench.task(localIDs.last()).projectID, bench.project);
        QVERIFY(bench.log().contains(QStringLiteral(" of another project ") + UuidText::lower(foreignProject)));

        // A heartbeat follows a health snapshot, without any check output.
        bench.backend.reset();
        bench.clock.advance(90.7);
        QVERIFY(AppStateFixture::run(state.applyHealthSnapshot({}, bench.clock.now(), QStringLiteral("refresh"))));
        const auto heartbeat = bench.backend.requests();
        QCOMPARE(heartbeat.size(), 1);
        QCOMPARE(heartbeat.first().path, QStringLiteral("/v1/nodes/heartbeat"));
        const QJsonObject beat = heartbeat.first().json();
        QCOMPARE(beat.value("health_status").toString(), QStringLiteral("unhealthy"));
        QCOMPARE(beat.value("uptime_seconds").toInt(), 90);
        QCOMPARE(beat.value("metadata").toObject().value("check_count").toString(), QStringLiteral("0"));
        QVERIFY(bench.log().contains(QStringLiteral("Heartbeat emitted (unhealthy) for node ")));

        // Sign-out tells the backend and forgets the session.
        bench.backend.reset();
        QVERIFY(AppStateFixture::run(state.signOut()));
        QCOMPARE(bench.backend.requestLines(), QStringList {"POST /v1/auth/logout"});
        QVERIFY(bench.secrets->items.isEmpty());
        QVERIFY(!state.isAuthenticated());
        QVERIFY(!state.authContext());
        QVERIFY(state.currentUserID()); // kept
        QVERIFY(!state.shouldAttemptRemotePoll(QStringLiteral("local-move")));
    }

    void badRepliesLeaveEverythingAsItWas()
    {
        CloudBench bench(true);
        AppState &state = *bench.state;
        QVERIFY(AppStateFixture::run(state.startGoogleSignIn()));
        state.createTask(request(bench.project, QStringLiteral("Keep me")));
        QVERIFY(TestSupport::waitUntil([&] { return !state.lastEmittedTaskDigestByLocalTaskID().isEmpty(); }));
        QVERIFY(TestSupport::waitUntil([&] { return !state.isRemotePollInFlight(); }));
        const TaskBoardStore::TaskMap before = state.taskStore(bench.project)->taskByID();
        QVERIFY(AppStateFixture::run(state.pollRemoteTasksAcrossProjects(QStringLiteral("local-move"))));
        const auto remoteIDs = state.remoteTaskIDByLocalTaskID();
        const auto digests = state.lastEmittedTaskDigestByLocalTaskID();

        for (const char *behaviour : {"malformed", "huge", "cut"}) {
            bench.backend.script({{"method", "GET"}, {"path", "/v1/projects/*/tasks"}, {"behaviour", behaviour}});
            QVERIFY(AppStateFixture::run(state.pollRemoteTasksAcrossProjects(QStringLiteral("local-move"))));
            QCOMPARE(state.taskStore(bench.project)->taskByID().keys().size(), before.size());
            QCOMPARE(state.remoteTaskIDByLocalTaskID(), remoteIDs);
            QCOMPARE(state.lastEmittedTaskDigestByLocalTaskID(), digests);
            QVERIFY(bench.log().split(u'\n').last().startsWith(u'[')
                && bench.log().split(u'\n').last().contains(QStringLiteral("Remote poll failed for project ")));
        }
        QVERIFY(!state.isRemotePollInFlight());
    }

    void gateAndBackOff()
    {
        CloudBench bench(true);
        AppState &state = *bench.state;
        QVERIFY(AppStateFixture::run(state.startGoogleSignIn()));
        const QString interval = QStringLiteral("interval");

        // Five failed timer polls in a row: 15, 30, 60, 120, 240 s apart.
        const double delays[] = {15, 30, 60, 120, 240, 300};
        for (double delay : delays) {
            bench.backend.script(
                {{"method", "GET"}, {"path", "/v1/projects/*/tasks"}, {"status", 500}, {"text", "down"}});
            QVERIFY(state.shouldAttemptRemotePoll(interval));
            QVERIFY(AppStateFixture::run(state.pollRemoteTasksAcrossProjects(interval)));
            QCOMPARE(state.nextRemotePollAllowedAt(), bench.clock.now().addSeconds(delay));
            bench.clock.advance(delay - 1);
            QVERIFY(!state.shouldAttemptRemotePoll(interval));
            bench.clock.advance(1);
        }
        QCOMPARE(state.remotePollFailureCount(), 6);
        // A failed action poll changes nothing; a successful timer poll resets.
        bench.backend.script({{"method", "GET"}, {"path", "/v1/projects/*/tasks"}, {"status", 500}, {"text", "down"}});
        QVERIFY(AppStateFixture::run(state.pollRemoteTasksAcrossProjects(QStringLiteral("local-create"))));
        QCOMPARE(state.remotePollFailureCount(), 6);
        QVERIFY(state.shouldAttemptRemotePoll(interval));
        QVERIFY(AppStateFixture::run(state.pollRemoteTasksAcrossProjects(interval)));
        QCOMPARE(state.remotePollFailureCount(), 0);

        // In the background, timer polls come at least 45 s apart.
        bench.active = false;
        bench.clock.advance(16);
        QVERIFY(!state.shouldAttemptRemotePoll(interval)); // 16 s after the last attempt
        bench.clock.advance(30);
        QVERIFY(state.shouldAttemptRemotePoll(interval));
        QVERIFY(AppStateFixture::run(state.pollRemoteTasksAcrossProjects(interval))); // the handed-over verdict
        QVERIFY(state.remoteLastSyncAt() == bench.clock.now());
        bench.clock.advance(30);
        QVERIFY(!state.shouldAttemptRemotePoll(interval));
        bench.clock.advance(16);
        QVERIFY(state.shouldAttemptRemotePoll(interval));

        // A client node never polls.
        state.setCurrentNodeType(BL_NodeType::clientNode);
        QVERIFY(!state.shouldAttemptRemotePoll(QStringLiteral("sign-in")));
    }

    void teamsAndInvites_data()
    {
        QTest::addColumn<bool>("backendPath");
        QTest::newRow("backend") << true;
        QTest::newRow("local") << false;
    }
    void teamsAndInvites()
    {
        QFETCH(bool, backendPath);
        CloudBench bench(backendPath);
        AppState &state = *bench.state;
        QVERIFY(AppStateFixture::run(state.startGoogleSignIn()));
        QVERIFY(state.isAuthenticated());
        bench.backend.reset();

        state.createTeam(QStringLiteral("  Ops  "));
        QVERIFY(TestSupport::waitUntil([&] {
            return std::any_of(
                state.teams().cbegin(), state.teams().cend(), [](const BL_Team &t) { return t.name == "Ops"; });
        }));
        const QUuid team = state.teams().first().id;
        QVERIFY(AppStateFixture::run(
            state.createInvite(team, QStringLiteral(" Bo@Example.COM "), BL_TeamMembershipRole::admin, 0)));
        QVERIFY(state.lastCreatedInvite());
        QCOMPARE(state.lastCreatedInvite()->email, std::optional<QString>(QStringLiteral("bo@example.com")));
        if (backendPath) {
            QCOMPARE(state.lastCreatedInvite()->inviteURL, QStringLiteral("https://cloud.example/invite/abc"));
            QVERIFY(AppStateFixture::run(state.acceptInvite(QStringLiteral(" tok "))));
            QVERIFY(bench.log().contains(QStringLiteral("Backend invite accepted.")));
            const QStringList lines = bench.backend.requestLines();
            QVERIFY(lines.contains(QStringLiteral("POST /v1/teams")));
            QVERIFY(lines.contains("POST /v1/teams/" + UuidText::lower(team) + "/invites"));
            QCOMPARE(withPrefix(lines, QStringLiteral("POST /v1/invites")).size(), 1);
        } else {
            const BL_Invite invite = *state.lastCreatedInvite();
            QCOMPARE(invite.inviteURL, bench.backend.origin() + QStringLiteral("/invite?token=") + invite.token);
            QCOMPARE(invite.expiresAt, bench.clock.now().addSeconds(3600));
            QVERIFY(bench.backend.requests().isEmpty());
            QVERIFY(AppStateFixture::run(state.acceptInvite(invite.token)));
            QVERIFY(bench.log().endsWith(QStringLiteral("Invite accepted.")));
            QVERIFY(AppStateFixture::run(state.acceptInvite(invite.token)));
            QVERIFY(bench.log().endsWith(QStringLiteral("Invite accept failed.")));
        }
    }

    void switchUnknownNodeTypeAndDeletion()
    {
        CloudBench bench(true);
        AppState &state = *bench.state;
        // A node type the installation does not know never makes it a client node.
        bench.backend.setState({{"node_type", "superNode"}});
        QVERIFY(AppStateFixture::run(state.startGoogleSignIn()));
        QCOMPARE(state.currentNodeType(), std::optional<BL_NodeType>(BL_NodeType::mainNode));
        QVERIFY(bench.log().contains(QStringLiteral("unknown node type; keeping mainNode.")));
        QCOMPARE(bench.fixture.defaults.string(AppSettings::nodeTypeKey),
            std::optional<QString>(QStringLiteral("mainNode")));

        // Switching sync on again refreshes the account, then polls.
        state.setRemoteTaskSyncFeatureEnabled(false);
        QCOMPARE(bench.fixture.defaults.boolean(AppSettings::remoteTaskSyncFlagKey), std::optional<bool>(false));
        const qsizetype seen = bench.backend.requests().size();
        state.setRemoteTaskSyncFeatureEnabled(true);
        const QString p = QStringLiteral("/v1/projects/") + UuidText::lower(bench.project);
        QVERIFY(TestSupport::waitUntil(
            [&] { return bench.backend.requestLines().mid(seen).contains("GET " + p + "/tasks"); }));
        QCOMPARE(bench.backend.requestLines().mid(seen),
            (QStringList {QStringLiteral("GET /v1/me"), "GET " + p + "/tasks"}));
        QVERIFY(bench.log().contains(QStringLiteral("Remote task sync feature enabled.")));

        // Deleting a pushed task deletes its backend copy.
        QVERIFY(TestSupport::waitUntil([&] { return !state.isRemotePollInFlight(); }));
        state.createTask(request(bench.project, QStringLiteral("Short-lived")));
        const QUuid local = state.taskStore(bench.project)->taskByID().keys().first();
        QVERIFY(TestSupport::waitUntil([&] { return state.remoteTaskIDByLocalTaskID().contains(local); }));
        QVERIFY(TestSupport::waitUntil([&] { return !state.isRemotePollInFlight(); }));
        const QUuid remote = state.remoteTaskIDByLocalTaskID().value(local);
        state.deleteTask(local, bench.project);
        QVERIFY(!state.remoteTaskIDByLocalTaskID().contains(local));
        QVERIFY(TestSupport::waitUntil([&] {
            return bench.backend.requestLines().contains("DELETE " + p + "/tasks/" + UuidText::lower(remote));
        }));
    }

    void expiringSessionBlocksEveryCall()
    {
        CloudBench bench(true);
        AppState &state = *bench.state;
        bench.backend.setState({{"session_expires_at", bench.clock.now().addSeconds(30).toIso8601()}});
        QVERIFY(AppStateFixture::run(state.startGoogleSignIn()));
        QVERIFY(state.authSession());
        QVERIFY(!state.shouldAttemptRemotePoll(QStringLiteral("sign-in")));
        const QStringList lines = bench.backend.requestLines();
        QCOMPARE(lines.last(), QStringLiteral("POST /v1/auth/google/native-signin")); // no registration, no poll
        QVERIFY(!state.hasRegisteredNodeRemotely());
    }

    void openedURLsNeedAPendingSignIn()
    {
        CloudBench bench(true);
        AppState &state = *bench.state;
        QVERIFY(AppStateFixture::run(
            state.handleIncomingURL(QUrl(QStringLiteral("tessaron://invite?token=secret&state=x")))));
        QVERIFY(bench.log().contains(QStringLiteral("Received callback URL: tessaron://invite\n")));
        QVERIFY(!bench.log().contains(QStringLiteral("secret")));
        QVERIFY(bench.backend.requests().isEmpty());
        QVERIFY(!state.isAuthenticated());
    }
};

QTEST_GUILESS_MAIN(TestCloudSync)
#include "tst_cloudsync.moc"
