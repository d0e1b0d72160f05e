#include "../cloud/FakeCloudBackend.h"
#include "cloud/KeychainSessionStore.h"
#include "common/UuidText.h"
#include "platform/SettingsStore.h"
#include "state/AccountSession.h"
#include "state/AppSettings.h"
#include "storage/TeamProjectStore.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

namespace {

bool finish(QCoro::Task<> task, int timeoutMs = 20000)
{
    return TestSupport::awaitDone(std::move(task), timeoutMs);
}

// What the account sees of the rest of the state, held in plain members;
// the team store stands in for the registry that republishes its lists.
struct FakeState
{
    TeamProjectStore *teamStore = nullptr;
    bool featureEnabled = true;
    bool clientNode = false;
    QString backendURL;
    QString clientID = QStringLiteral("client-1");
    bool authenticated = false;
    std::optional<QString> email;
    std::optional<QUuid> userID;
    QList<BL_User> users;
    QList<BL_Team> teams;
    std::optional<QUuid> selectedTeamID;
    QList<BL_Workspace> projects;
    std::optional<QUuid> activeProjectID;
    std::optional<BL_Invite> lastInvite;
    std::optional<BL_NodeType> nodeType;
    QStringList log;
    QStringList errors;
    QStringList polls;
    int registrations = 0;
    int forgottenRegistrations = 0;

    AccountSession::Hooks hooks()
    {
        AccountSession::Hooks h;
        h.appendLog = [this](const QString &line) { log.append(line); };
        h.setLastErrorMessage = [this](const QString &text) { errors.append(text); };
        h.isFeatureEnabled = [this] { return featureEnabled; };
        h.isClientNodeMode = [this] { return clientNode; };
        h.backendBaseURLString = [this] { return backendURL; };
        h.setBackendBaseURLString = [this](const QString &value) { backendURL = value; };
        h.googleOAuthClientIDString = [this] { return clientID; };
        h.setGoogleOAuthClientIDString = [this](const QString &value) { clientID = value; };
        h.setAuthenticated = [this](bool on) { authenticated = on; };
        h.currentUserEmail = [this] { return email; };
        h.setCurrentUserEmail = [this](const std::optional<QString> &value) { email = value; };
        h.currentUserID = [this] { return userID; };
        h.setCurrentUserID = [this](const std::optional<QUuid> &id) { userID = id; };
        h.users = [this] { return users; };
        h.setUsers = [this](const QList<BL_User> &list) { users = list; };
        h.teams = [this] { return teams; };
        h.setTeams = [this](const QList<BL_Team> &list) { teams = list; };
        h.selectedTeamID = [this] { return selectedTeamID; };
        h.setSelectedTeamID = [this](const std::optional<QUuid> &id) { selectedTeamID = id; };
        h.projects = [this] { return projects; };
        h.activeProjectID = [this] { return activeProjectID; };
        h.setActiveProjectID = [this](const std::optional<QUuid> &id) { activeProjectID = id; };
        h.setLastCreatedInvite = [this](const std::optional<BL_Invite> &invite) { lastInvite = invite; };
        h.setTeamsAndUsersFromStore = [this](bool includeUsers) {
            teams = teamStore->allTeams();
            if (includeUsers)
                users = teamStore->allUsers();
        };
        h.setNodeType = [this](const std::optional<BL_NodeType> &type) { nodeType = type; };
        h.forgetNodeRegistration = [this] { ++forgottenRegistrations; };
        h.ensureNodeRegistration = [this]() -> QCoro::Task<bool> {
            ++registrations;
            co_return true;
        };
        h.pollRemoteTasks = [this](QString reason) -> QCoro::Task<> {
            polls.append(reason);
            co_return;
        };
        return h;
    }
    bool logged(const QString &line) const { return log.contains(line); }
};

const TimePoint kNow = TimePoint::fromUnixSeconds(1767607200.5);

QString sessionKey()
{
    return KeychainSessionStore::defaultService() + u'|' + KeychainSessionStore::kAccount;
}

} // namespace

// The account alone: fake hooks for the rest of the state, the real team
// store in a temporary folder, the session store over an in-memory keyring,
// a pinned clock and the real backend client and sign-in against the
// stand-in backend.
struct AccountBench
{
    FakeCloudBackend backend;
    QTemporaryDir folder;
    TestSupport::PinnedClock clock {kNow};
    MemorySettingsStore defaults;
    TeamProjectStore teamStore {folder.path(), clock};
    FakeState state;
    MemorySecretBackend *secrets = nullptr;
    QNetworkAccessManager browser;
    // Where the sign-in sent the browser; nothing is opened when `holdBrowser`.
    QUrl authorizationURL;
    bool holdBrowser = false;
    std::unique_ptr<AccountSession> accounts;

    // `storedSession`: a session in the keyring as the last run left it.
    explicit AccountBench(std::optional<BL_AuthSession> storedSession = std::nullopt)
    {
        state.teamStore = &teamStore;
        state.backendURL = backend.origin() + QStringLiteral("/");
        auto keyring = std::make_unique<MemorySecretBackend>();
        secrets = keyring.get();
        auto store = std::make_unique<KeychainSessionStore>(std::move(keyring));
        if (storedSession)
            store->save(*storedSession);
        TessaronAPIClient::Options api;
        api.timeoutMs = 15000;
        GoogleSignInOptions signIn;
        signIn.authorizationEndpoint = backend.origin() + QStringLiteral("/oauth/authorize");
        signIn.tokenEndpoint = backend.origin() + QStringLiteral("/oauth/token");
        signIn.listenerTimeoutMs = 20000;
        signIn.openBrowser = [this](const QUrl &url) {
            authorizationURL = url;
            if (!holdBrowser) {
                QNetworkReply *reply = browser.get(QNetworkRequest(url));
                QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
            }
            return true;
        };
        accounts = std::make_unique<AccountSession>(
            clock, defaults, teamStore, std::move(store), api, signIn, state.hooks());
        accounts->loadStoredSession();
    }
    ~AccountBench()
    {
        accounts.reset();
        TestSupport::drainMainThread();
    }
    static BL_AuthSession session(std::optional<TimePoint> expiresAt = std::nullopt)
    {
        return BL_AuthSession {QStringLiteral("backend-access-token"), QStringLiteral("refresh"), expiresAt};
    }
    QStringList lines() const { return backend.requestLines(); }
    void fail(const QString &method, const QString &path, int status, const QString &message) const
    {
        backend.script({{"method", method}, {"path", path}, {"status", status},
            {"json", QJsonObject {{"message", message}}}, {"times", 1}});
    }
    // A team of the local store the current user owns.
    QUuid localTeam(const QString &name)
    {
        const BL_Team team = teamStore.createTeam(name);
        return team.id;
    }
};

class TestAccountSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        AccountBench probe;
        QVERIFY2(probe.backend.isRunning(), "the stand-in backend did not start");
    }

    // ---- Sign-in ----

    void signInInstallsTheBackendSession_data()
    {
        QTest::addColumn<bool>("keyringFails");
        QTest::newRow("stored") << false;
        QTest::newRow("keyring refuses: kept for this run") << true;
    }
    void signInInstallsTheBackendSession()
    {
        QFETCH(bool, keyringFails);
        AccountBench bench;
        bench.state.nodeType = BL_NodeType::subNode;
        bench.state.selectedTeamID = QUuid::createUuid(); // unknown to the backend
        bench.secrets->failWith = keyringFails ? -25293 : 0;
        if (keyringFails) // the warning names the keyring's status
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("storing it failed: .*-25293")));

        QVERIFY(finish(bench.accounts->startGoogleSignIn()));

        QVERIFY2(bench.state.errors.isEmpty(), qPrintable(bench.state.errors.join('\n')));
        QCOMPARE(bench.lines(),
            (QStringList {"GET /oauth/authorize", "POST /oauth/token", "POST /v1/auth/google/native-signin"}));
        QVERIFY(bench.state.authenticated);
        QCOMPARE(bench.state.email, std::optional<QString>(QStringLiteral("ada@example.com")));
        const QUuid cloudUser = QUuid(QStringLiteral("7d1c1a5e-0000-4000-8000-000000000001"));
        const QUuid cloudTeam = QUuid(QStringLiteral("7d1c1a5e-0000-4000-8000-0000000000a1"));
        QCOMPARE(bench.state.userID, std::optional<QUuid>(cloudUser));
        QCOMPARE(bench.state.users.size(), 1);
        QCOMPARE(bench.state.teams.size(), 1);
        QCOMPARE(bench.state.selectedTeamID, std::optional<QUuid>(cloudTeam));
        QCOMPARE(bench.state.nodeType, std::optional<BL_NodeType>(BL_NodeType::mainNode));
        QVERIFY(bench.accounts->hasUsableCloudSession());
        QCOMPARE(bench.accounts->authSession()->accessToken, QStringLiteral("backend-access-token"));
        QCOMPARE(bench.accounts->authContext()->user.id, cloudUser);
        QCOMPARE(bench.secrets->items.value(sessionKey()).contains("backend-access-token"), !keyringFails);
        QVERIFY(bench.state.logged(QStringLiteral("Backend session created via native Google sign-in.")));
        QCOMPARE(bench.state.registrations, 1);
        QCOMPARE(bench.state.polls, QStringList {QStringLiteral("sign-in")});
        // The sign-in's own progress lines reach the log on a later turn.
        QVERIFY(TestSupport::waitUntil(
            [&] { return bench.state.logged(QStringLiteral("Google sign-in returned an ID token.")); }));
    }

    void signInFailuresReachTheErrorHook_data()
    {
        QTest::addColumn<QString>("backendURL");
        QTest::addColumn<QString>("clientID");
        QTest::addColumn<bool>("exchangeRefused");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("no backend address") << "  "
                                            << "client-1" << false << "Set a valid backend URL before signing in."
                                            << "Sign-in blocked: backend URL missing/invalid.";
        QTest::newRow("address without a scheme") << "cloud.example"
                                                  << "client-1" << false << "Set a valid backend URL before signing in."
                                                  << "Sign-in blocked: backend URL missing/invalid.";
        QTest::newRow("no client id") << ""
                                      << "   " << false << "Google OAuth Client ID is required."
                                      << "Sign-in blocked: Google OAuth Client ID missing.";
        QTest::newRow("backend refuses the token") << ""
                                                   << "client-1" << true << "Server returned 401: token rejected"
                                                   << "Sign-in failed: Server returned 401: token rejected";
    }
    void signInFailuresReachTheErrorHook()
    {
        QFETCH(QString, backendURL);
        QFETCH(QString, clientID);
        QFETCH(bool, exchangeRefused);
        QFETCH(QString, error);
        QFETCH(QString, logLine);
        AccountBench bench;
        if (!backendURL.isEmpty())
            bench.state.backendURL = backendURL;
        bench.state.clientID = clientID;
        if (exchangeRefused)
            bench.fail("POST", "/v1/auth/google/native-signin", 401, "token rejected");

        QVERIFY(finish(bench.accounts->startGoogleSignIn()));

        QCOMPARE(bench.state.errors, QStringList {error});
        QVERIFY2(bench.state.logged(logLine), qPrintable(bench.state.log.join('\n')));
        QVERIFY(!bench.state.authenticated);
        QVERIFY(!bench.accounts->authSession());
        QVERIFY(!bench.secrets->items.contains(sessionKey()));
        QCOMPARE(bench.state.registrations, 0);
        QVERIFY(bench.state.polls.isEmpty());
        if (!exchangeRefused)
            QVERIFY(bench.lines().isEmpty());
    }

    void localSignInWithoutRemoteSync()
    {
        AccountBench bench;
        bench.state.featureEnabled = false;

        QVERIFY(finish(bench.accounts->startGoogleSignIn()));

        QVERIFY(bench.state.authenticated);
        QVERIFY(bench.state.userID);
        QCOMPARE(bench.state.users.size(), 1);
        QCOMPARE(bench.state.users.first().name, QStringLiteral("You"));
        QCOMPARE(bench.state.users.first().id, *bench.state.userID);
        QCOMPARE(bench.state.email, std::nullopt);
        QVERIFY(bench.state.logged(QStringLiteral("Local sign-in completed.")));
        QVERIFY(bench.lines().isEmpty());
        QVERIFY(!bench.accounts->authSession());
    }

    // ---- Sign-out ----

    void signOutClearsTheSessionAndContext_data()
    {
        QTest::addColumn<int>("logoutStatus");
        QTest::newRow("backend logs out") << 204;
        QTest::newRow("backend fails: signed out all the same") << 500;
    }
    void signOutClearsTheSessionAndContext()
    {
        QFETCH(int, logoutStatus);
        AccountBench bench;
        QVERIFY(finish(bench.accounts->startGoogleSignIn()));
        QVERIFY(bench.accounts->authContext());
        bench.backend.reset();
        if (logoutStatus != 204)
            bench.fail("POST", "/v1/auth/logout", logoutStatus, "down");

        QVERIFY(finish(bench.accounts->signOut()));

        const auto requests = bench.backend.requests();
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.first().path, QStringLiteral("/v1/auth/logout"));
        QCOMPARE(requests.first().header("authorization"), QStringLiteral("Bearer backend-access-token"));
        QVERIFY(!bench.accounts->authSession());
        QVERIFY(!bench.accounts->authContext());
        QVERIFY(!bench.accounts->hasUsableCloudSession());
        QVERIFY(!bench.secrets->items.contains(sessionKey()));
        QVERIFY(!bench.state.authenticated);
        QCOMPARE(bench.state.email, std::nullopt);
        QCOMPARE(bench.state.forgottenRegistrations, 1);
        QVERIFY(bench.state.errors.isEmpty());
        QVERIFY(bench.state.logged(QStringLiteral("Signed out.")));
    }

    void signOutWithoutSessionAsksNoBackend()
    {
        AccountBench bench(AccountBench::session(kNow.addSeconds(10))); // expires within 30 s
        QVERIFY(bench.accounts->authSession());
        QVERIFY(!bench.accounts->hasUsableCloudSession());
        QVERIFY(finish(bench.accounts->signOut()));
        QVERIFY(bench.lines().isEmpty());
        QVERIFY(!bench.accounts->authSession());
        QVERIFY(!bench.secrets->items.contains(sessionKey()));
    }

    // ---- Opened URLs ----

    void incomingURL_data()
    {
        QTest::addColumn<bool>("syncOn");
        QTest::addColumn<QString>("state"); // "pending": the sign-in's own state
        QTest::addColumn<int>("exchangeStatus"); // 0: not scripted
        QTest::addColumn<QString>("outcome"); // the log line after the received one
        QTest::newRow("sync off") << false << "pending" << 0 << "";
        QTest::newRow("no state") << true << "" << 0 << "Ignored an opened URL that answers no sign-in in progress.";
        QTest::newRow("another state") << true << "forged" << 0
                                       << "Ignored an opened URL that answers no sign-in in progress.";
        QTest::newRow("answers the sign-in") << true << "pending" << 0 << "OAuth callback exchanged successfully.";
        QTest::newRow("exchange fails") << true << "pending" << 500
                                        << "OAuth callback exchange failed: Server returned 500: bad code";
    }
    void incomingURL()
    {
        QFETCH(bool, syncOn);
        QFETCH(QString, state);
        QFETCH(int, exchangeStatus);
        QFETCH(QString, outcome);
        AccountBench bench;
        bench.holdBrowser = true;
        // A sign-in waits for its answer; the browser is never opened.
        auto waiting = std::make_shared<bool>(true);
        auto signIn = [](NativeGoogleSignInService *service, std::shared_ptr<bool> flag) -> QCoro::Task<> {
            co_await service->signIn(QStringLiteral("client-1"), std::nullopt);
            *flag = false;
        };
        bench.accounts->signInService().options().listenerTimeoutMs = 1500;
        auto pendingSignIn = signIn(&bench.accounts->signInService(), waiting);
        QVERIFY(TestSupport::waitUntil([&] { return bench.accounts->signInService().pendingState().has_value(); }));
        bench.state.featureEnabled = syncOn;
        if (exchangeStatus)
            bench.fail("POST", "/v1/auth/google/exchange", exchangeStatus, "bad code");
        const QString stateValue = state == "pending" ? *bench.accounts->signInService().pendingState() : state;
        QUrl url(QStringLiteral("tessaron://auth/callback"));
        QUrlQuery query;
        query.addQueryItem(QStringLiteral("code"), QStringLiteral("secret-code"));
        if (!stateValue.isEmpty())
            query.addQueryItem(QStringLiteral("state"), stateValue);
        url.setQuery(query);

        bench.state.log.clear(); // the sign-in's own progress lines
        QVERIFY(finish(bench.accounts->handleIncomingURL(url)));

        // The query never reaches the log.
        QVERIFY(bench.state.logged(QStringLiteral("Received callback URL: tessaron://auth/callback")));
        QVERIFY(!bench.state.log.join('\n').contains(QStringLiteral("secret-code")));
        const QStringList outcomes = bench.state.log.filter(QRegularExpression("^(Ignored|OAuth callback)"));
        QCOMPARE(outcomes, outcome.isEmpty() ? QStringList {} : QStringList {outcome});
        const bool exchanged = outcome.startsWith(QStringLiteral("OAuth callback"));
        QCOMPARE(bench.lines(), exchanged ? QStringList {"POST /v1/auth/google/exchange"} : QStringList {});
        if (exchanged) {
            const QString body = QString::fromUtf8(bench.backend.requests().first().body);
            QVERIFY(body.contains(QStringLiteral("secret-code")));
        }
        const bool installed = outcome == QStringLiteral("OAuth callback exchanged successfully.");
        QCOMPARE(bench.state.authenticated, installed);
        QCOMPARE(bench.accounts->authSession().has_value(), installed);
        QCOMPARE(bench.state.polls, installed ? QStringList {QStringLiteral("oauth-callback")} : QStringList {});
        QCOMPARE(bench.state.errors, exchangeStatus ? QStringList {outcome} : QStringList {});
        // The sign-in that waited ends at its listener's time-out.
        QVERIFY(TestSupport::waitUntil([&] { return !*waiting; }, 15000));
    }

    // ---- Invites ----

    void localInvite_data()
    {
        QTest::addColumn<bool>("syncOn");
        QTest::addColumn<QString>("backendURL");
        QTest::addColumn<QString>("inviteBase"); // before "?token=", empty: the token alone
        QTest::newRow("sync off") << false << "https://cloud.example/"
                                  << "https://cloud.example/invite";
        QTest::newRow("sync on, no session") << true << "https://cloud.example//"
                                             << "https://cloud.example/invite";
        QTest::newRow("no backend address") << false << ""
                                            << "";
    }
    void localInvite()
    {
        QFETCH(bool, syncOn);
        QFETCH(QString, backendURL);
        QFETCH(QString, inviteBase);
        AccountBench bench;
        bench.state.featureEnabled = syncOn;
        bench.state.backendURL = backendURL;
        const QUuid team = bench.localTeam(QStringLiteral("Ops"));

        QVERIFY(finish(bench.accounts->createInvite(team, QStringLiteral("   "), BL_TeamMembershipRole::admin, 5)));
        QVERIFY(!bench.state.lastInvite); // a blank address makes no invite
        QVERIFY(finish(
            bench.accounts->createInvite(team, QStringLiteral(" Bo@Example.COM "), BL_TeamMembershipRole::admin, 0)));

        QVERIFY(bench.lines().isEmpty());
        QVERIFY(bench.state.errors.isEmpty());
        QVERIFY(bench.state.lastInvite);
        const BL_Invite invite = *bench.state.lastInvite;
        QCOMPARE(invite.email, std::optional<QString>(QStringLiteral("bo@example.com")));
        QCOMPARE(invite.teamID, std::optional<QUuid>(team));
        QCOMPARE(invite.role, BL_TeamMembershipRole::admin);
        QCOMPARE(invite.expiresAt, bench.clock.now().addSeconds(3600)); // at least one hour
        QCOMPARE(invite.inviteURL, inviteBase.isEmpty() ? invite.token : inviteBase + "?token=" + invite.token);
        QCOMPARE(bench.state.log.last(), QStringLiteral("Created invite for bo@example.com."));

        // Accepting it signs in the default user as a member of the team.
        QVERIFY(finish(bench.accounts->acceptInvite(QStringLiteral("  ") + invite.token + u' ')));
        QVERIFY(bench.state.userID);
        QVERIFY(bench.teamStore.teamIDsForUser(*bench.state.userID).contains(team));
        QVERIFY(bench.state.authenticated);
        QCOMPARE(bench.state.teams, bench.teamStore.allTeams());
        QCOMPARE(bench.state.users, bench.teamStore.allUsers());
        QCOMPARE(bench.state.log.last(), QStringLiteral("Invite accepted."));
    }

    void localAcceptOfAnUnknownToken()
    {
        AccountBench bench;
        bench.state.featureEnabled = false;
        QVERIFY(finish(bench.accounts->acceptInvite(QStringLiteral("   ")))); // blank: nothing at all
        QVERIFY(bench.state.log.isEmpty());
        QVERIFY(finish(bench.accounts->acceptInvite(QStringLiteral("no-such-token"))));
        QCOMPARE(bench.state.log.last(), QStringLiteral("Invite accept failed."));
        QVERIFY(!bench.state.authenticated);
    }

    void invitesThroughTheBackend_data()
    {
        QTest::addColumn<int>("failStatus"); // 0: the backend answers
        QTest::newRow("backend") << 0;
        QTest::newRow("backend fails: local fallback") << 503;
    }
    void invitesThroughTheBackend()
    {
        QFETCH(int, failStatus);
        AccountBench bench(AccountBench::session());
        QVERIFY(bench.accounts->hasUsableCloudSession());
        const QUuid team = bench.localTeam(QStringLiteral("Ops"));
        if (failStatus) {
            bench.fail("POST", "/v1/teams/*/invites", failStatus, "busy");
            bench.fail("POST", "/v1/invites/accept", failStatus, "busy");
        }

        QVERIFY(finish(
            bench.accounts->createInvite(team, QStringLiteral("Bo@Example.com"), BL_TeamMembershipRole::viewer, 48)));
        const auto sent = bench.backend.requests();
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent.first().path, QStringLiteral("/v1/teams/") + UuidText::lower(team) + "/invites");
        QCOMPARE(sent.first().json().value("email").toString(), QStringLiteral("bo@example.com"));
        QVERIFY(bench.state.lastInvite);
        if (!failStatus) {
            QCOMPARE(bench.state.lastInvite->inviteURL, QStringLiteral("https://cloud.example/invite/abc"));
            QCOMPARE(bench.state.log.last(), QStringLiteral("Created backend invite for bo@example.com."));
            QVERIFY(bench.state.errors.isEmpty());
        } else {
            const QString error = QStringLiteral("Backend invite creation failed: Server returned 503: busy");
            QCOMPARE(bench.state.errors, QStringList {error});
            QVERIFY(bench.state.logged(error));
            // The local store made the invite instead, with the typed address.
            QVERIFY(bench.state.lastInvite->inviteURL.startsWith(bench.backend.origin() + "/invite?token="));
            QCOMPARE(bench.state.log.last(), QStringLiteral("Created invite for bo@example.com."));
        }

        const qsizetype before = bench.backend.requests().size();
        QVERIFY(finish(bench.accounts->acceptInvite(QStringLiteral("backend-token"))));
        QCOMPARE(bench.backend.requests().mid(before).size(), 1);
        QCOMPARE(bench.backend.requests().last().path, QStringLiteral("/v1/invites/accept"));
        if (!failStatus) {
            QVERIFY(bench.state.authenticated);
            QCOMPARE(bench.state.email, std::optional<QString>(QStringLiteral("ada@example.com")));
            QVERIFY(bench.accounts->authContext());
            QVERIFY(bench.state.logged(QStringLiteral("Backend invite accepted.")));
            QCOMPARE(bench.state.polls, QStringList {QStringLiteral("invite-accept")});
        } else {
            const QString error = QStringLiteral("Backend invite accept failed: Server returned 503: busy");
            QCOMPARE(bench.state.errors.last(), error);
            // The local store knows no such token.
            QCOMPARE(bench.state.log.last(), QStringLiteral("Invite accept failed."));
            QVERIFY(!bench.accounts->authContext());
            QVERIFY(bench.state.polls.isEmpty());
        }
    }

    // ---- The account context and teams ----

    void refreshAuthContext_data()
    {
        QTest::addColumn<bool>("syncOn");
        QTest::addColumn<bool>("withUser");
        QTest::addColumn<QString>("backendURL"); // "stand-in": the running backend
        QTest::addColumn<bool>("withSession");
        QTest::addColumn<int>("failStatus");
        QTest::addColumn<QString>("logLine");
        // Afterwards; with sync on it starts as a stale "signed in" that only
        // a missing session corrects.
        QTest::addColumn<bool>("authenticated");
        QTest::newRow("local, signed in")
            << false << true << "stand-in" << false << 0 << "Refreshed local auth context." << true;
        QTest::newRow("local, no user") << false << false << "stand-in" << false << 0 << "No signed-in user to refresh."
                                        << false;
        QTest::newRow("bad address") << true << true << "::not a url" << true << 0
                                     << "Remote sync enabled, but backend URL is invalid." << true;
        QTest::newRow("no session") << true << true << "stand-in" << false << 0
                                    << "Remote sync enabled, but no valid access token found." << false;
        QTest::newRow("backend fails") << true << true << "stand-in" << true << 500
                                       << "Failed to refresh backend auth context: Server returned 500: down" << true;
        QTest::newRow("backend answers") << true << true << "stand-in" << true << 0
                                         << "Fetched auth context from backend." << true;
    }
    void refreshAuthContext()
    {
        QFETCH(bool, syncOn);
        QFETCH(bool, withUser);
        QFETCH(QString, backendURL);
        QFETCH(bool, withSession);
        QFETCH(int, failStatus);
        QFETCH(QString, logLine);
        QFETCH(bool, authenticated);
        AccountBench bench(withSession ? std::optional<BL_AuthSession>(AccountBench::session()) : std::nullopt);
        bench.state.featureEnabled = syncOn;
        bench.state.authenticated = syncOn;
        if (backendURL != "stand-in")
            bench.state.backendURL = backendURL;
        if (withUser) {
            const BL_User user
                = bench.teamStore.upsertUser(QStringLiteral("Bo"), QStringLiteral("bo@example.com"), std::nullopt);
            bench.state.userID = user.id;
        }
        if (failStatus)
            bench.fail("GET", "/v1/me", failStatus, "down");

        QVERIFY(finish(bench.accounts->refreshAuthContextFromBackend()));

        QVERIFY2(bench.state.logged(logLine), qPrintable(bench.state.log.join('\n')));
        QCOMPARE(bench.state.authenticated, authenticated);
        QCOMPARE(bench.state.errors, failStatus ? QStringList {logLine} : QStringList {});
        const bool asksBackend = syncOn && withSession && backendURL == "stand-in";
        QCOMPARE(bench.lines(), asksBackend ? QStringList {"GET /v1/me"} : QStringList {});
        const bool fetched = logLine == QStringLiteral("Fetched auth context from backend.");
        QCOMPARE(bench.accounts->authContext().has_value(), fetched);
        QCOMPARE(bench.state.registrations, fetched ? 1 : 0);
        if (fetched)
            QCOMPARE(bench.state.teams.first().name, QStringLiteral("Cloud Team"));
        if (!syncOn) {
            QCOMPARE(bench.state.teams, bench.teamStore.allTeams());
            if (withUser)
                QCOMPARE(bench.state.email, std::optional<QString>(QStringLiteral("bo@example.com")));
        }
    }

    void createTeam()
    {
        {
            AccountBench bench;
            bench.state.featureEnabled = false;
            const BL_User user = bench.teamStore.ensureDefaultUser(QStringLiteral("You"));
            bench.state.userID = user.id;
            bench.state.teams = {BL_Team {}, BL_Team {}};
            bench.accounts->createTeam(QStringLiteral("   "));
            QCOMPARE(bench.state.teams.size(), 1);
            QCOMPARE(bench.state.teams.first().name, QStringLiteral("Team 3"));
            QVERIFY(bench.teamStore.teamIDsForUser(user.id).contains(bench.state.teams.first().id));
            QVERIFY(bench.teamStore.organizationIDForTeam(bench.state.teams.first().id));
            QVERIFY(bench.lines().isEmpty());
        }
        {
            AccountBench bench(AccountBench::session());
            bench.accounts->createTeam(QStringLiteral("  Ops  "));
            QVERIFY(TestSupport::waitUntil(
                [&] { return bench.state.logged(QStringLiteral("Created backend team Ops.")); }));
            QCOMPARE(bench.lines(), (QStringList {"POST /v1/teams", "GET /v1/me"}));
            QCOMPARE(bench.backend.requests().first().json().value("name").toString(), QStringLiteral("Ops"));
            QCOMPARE(bench.state.teams.size(), 2);
            QVERIFY(bench.teamStore.allTeams().isEmpty());
        }
        {
            AccountBench bench(AccountBench::session());
            bench.fail("POST", "/v1/teams", 409, "name taken");
            bench.accounts->createTeam(QStringLiteral("Ops"));
            QVERIFY(TestSupport::waitUntil([&] { return !bench.state.errors.isEmpty(); }));
            QCOMPARE(bench.state.errors,
                QStringList {QStringLiteral("Failed to create backend team: Server returned 409: name taken")});
            QVERIFY(
                bench.state.logged(QStringLiteral("Backend team creation failed: Server returned 409: name taken")));
            QCOMPARE(bench.lines(), QStringList {"POST /v1/teams"});
        }
    }

    void settingsAreTrimmedStoredAndRefresh()
    {
        AccountBench bench;
        bench.state.featureEnabled = false;
        bench.accounts->updateGoogleOAuthClientID(QStringLiteral("  id-2 \n"));
        QCOMPARE(bench.state.clientID, QStringLiteral("id-2"));
        QCOMPARE(bench.defaults.string(AppSettings::googleOAuthClientIDKey), std::optional<QString>("id-2"));
        bench.accounts->updateBackendBaseURL(QStringLiteral(" https://cloud.example/ "));
        QCOMPARE(bench.state.backendURL, QStringLiteral("https://cloud.example/"));
        QCOMPARE(
            bench.defaults.string(AppSettings::backendBaseURLKey), std::optional<QString>("https://cloud.example/"));
        QCOMPARE(bench.accounts->resolvedBackendAPIBaseURL(), std::optional<QString>("https://cloud.example/v1"));
        // The refresh runs on a later turn.
        QVERIFY(!bench.state.logged(QStringLiteral("No signed-in user to refresh.")));
        QVERIFY(TestSupport::waitUntil(
            [&] { return bench.state.logged(QStringLiteral("No signed-in user to refresh.")); }));
        QCOMPARE(bench.state.log.mid(0, 2), (QStringList {"Updated Google OAuth client ID.", "Updated backend URL."}));
    }

    // ---- Access of the current user ----

    void projectsForSelectedTeam_data()
    {
        QTest::addColumn<QString>("mode"); // "local", "no team logic", "backend", "client node"
        QTest::addColumn<QString>("selected"); // "", "A" or "B"
        QTest::addColumn<QStringList>("visible");
        QTest::newRow("local, no team: the user's teams") << "local"
                                                          << "" << QStringList {"a1", "a2"};
        QTest::newRow("local, team A") << "local"
                                       << "A" << QStringList {"a1", "a2"};
        QTest::newRow("local, team B: not a member, owner of b2") << "local"
                                                                  << "B" << QStringList {"b2"};
        QTest::newRow("no team logic: everything") << "no team logic"
                                                   << "B" << QStringList {"a1", "a2", "b1", "b2"};
        QTest::newRow("backend, no team: the grants") << "backend"
                                                      << "" << QStringList {"b1"};
        QTest::newRow("backend, team A") << "backend"
                                         << "A" << QStringList {"a2"};
        QTest::newRow("client node: everything") << "client node"
                                                 << "A" << QStringList {"a1", "a2", "b1", "b2"};
    }
    void projectsForSelectedTeam()
    {
        QFETCH(QString, mode);
        QFETCH(QString, selected);
        QFETCH(QStringList, visible);
        AccountBench bench;
        bench.state.featureEnabled = mode == "backend";
        bench.state.clientNode = mode == "client node";
        bench.defaults.setValue(AppSettings::userTeamLogicFlagKey, mode != "no team logic");
        TeamProjectStore &store = bench.teamStore;
        const BL_User me = store.ensureDefaultUser(QStringLiteral("You"));
        const BL_User other = store.createUser(QStringLiteral("Other"));
        const QUuid teamA = store.createTeam(QStringLiteral("A")).id;
        const QUuid teamB = store.createTeam(QStringLiteral("B")).id;
        store.addUser(me.id, teamA, BL_TeamMembershipRole::member);
        store.addUser(other.id, teamB, BL_TeamMembershipRole::owner);
        QHash<QString, QUuid> ids;
        for (const char *text : {"a1", "a2", "b1", "b2"}) {
            const QString name = QString::fromLatin1(text);
            const QUuid id = QUuid::createUuid();
            ids.insert(name, id);
            bench.state.projects.append(BL_Workspace {id, std::nullopt, name, "/tmp/" + name, {}, {}});
            store.assign(id, name.startsWith('a') ? teamA : teamB);
            store.setOwner(name == "b2" ? me.id : other.id, id);
        }
        bench.state.userID = me.id;
        bench.state.selectedTeamID
            = selected.isEmpty() ? std::nullopt : std::optional<QUuid>(selected == "A" ? teamA : teamB);
        if (mode == "backend") {
            BL_AuthContext context;
            context.user.id = me.id;
            context.projectGrants = {BL_ProjectAccessGrant {ids["b1"], BL_TeamMembershipRole::viewer}};
            context.teamProjectIDsByTeamID.insert(teamA, {ids["a2"]});
            bench.accounts->applyRemoteAuthContext(context);
            bench.state.selectedTeamID
                = selected.isEmpty() ? std::nullopt : std::optional<QUuid>(selected == "A" ? teamA : teamB);
        }

        QStringList names;
        for (const BL_Workspace &workspace : bench.accounts->projectsForSelectedTeam())
            names.append(workspace.name);
        QCOMPARE(names, visible);
    }

    void accessAndCountsForTheCurrentUser()
    {
        AccountBench bench;
        bench.state.featureEnabled = false;
        TeamProjectStore &store = bench.teamStore;
        const BL_User me = store.ensureDefaultUser(QStringLiteral("You"));
        const BL_User other = store.createUser(QStringLiteral("Other"));
        const QUuid mine = store.createTeam(QStringLiteral("Mine")).id;
        const QUuid theirs = store.createTeam(QStringLiteral("Theirs")).id;
        store.addUser(me.id, mine, BL_TeamMembershipRole::member);
        store.addUser(other.id, theirs, BL_TeamMembershipRole::owner);
        const QUuid shared = QUuid::createUuid(), owned = QUuid::createUuid(), foreign = QUuid::createUuid();
        store.assign(shared, mine);
        store.setOwner(other.id, shared);
        store.assign(owned, theirs);
        store.setOwner(me.id, owned);
        store.assign(foreign, theirs);
        store.setOwner(other.id, foreign);
        for (const QUuid &id : {shared, owned, foreign})
            bench.state.projects.append(BL_Workspace {id, std::nullopt, "w", "/tmp/w", {}, {}});

        // Without a current user everything is open, and the flag is stored as on.
        QVERIFY(bench.accounts->canCurrentUserAccess(foreign));
        const auto flag = bench.defaults.value(AppSettings::userTeamLogicFlagKey);
        QVERIFY(flag && flag->toBool());
        bench.state.userID = me.id;
        QVERIFY(bench.accounts->canCurrentUserAccess(shared)); // a member of its team
        QVERIFY(bench.accounts->canCurrentUserAccess(owned)); // its owner
        QVERIFY(!bench.accounts->canCurrentUserAccess(foreign));
        QCOMPARE(bench.accounts->userTeamProjectIDs(), QSet<QUuid> {shared});
        QCOMPARE(bench.accounts->myTeamsWorkspaceCount(), 1);
        QCOMPARE(bench.accounts->projectCount(theirs), 2);
        QCOMPARE(bench.accounts->projectCount(QUuid::createUuid()), 0);
        bench.defaults.setValue(AppSettings::userTeamLogicFlagKey, false);
        QVERIFY(bench.accounts->canCurrentUserAccess(foreign));

        // With remote sync the backend's grants count.
        bench.state.featureEnabled = true;
        BL_AuthContext context;
        context.projectGrants = {BL_ProjectAccessGrant {foreign, BL_TeamMembershipRole::member},
            BL_ProjectAccessGrant {owned, BL_TeamMembershipRole::owner}};
        context.teamProjectIDsByTeamID.insert(theirs, {foreign});
        bench.accounts->applyRemoteAuthContext(context);
        QCOMPARE(bench.accounts->myTeamsWorkspaceCount(), 2);
        QCOMPARE(bench.accounts->projectCount(theirs), 1);
    }

    void defaultTeamAssignments()
    {
        AccountBench bench;
        bench.state.featureEnabled = false;
        const QUuid first = QUuid::createUuid(), second = QUuid::createUuid();
        bench.state.projects = {BL_Workspace {first, std::nullopt, "one", "/tmp/one", {}, {}},
            BL_Workspace {second, std::nullopt, "two", "/tmp/two", {}, {}}};
        bench.state.userID = QUuid::createUuid(); // a user the store does not know
        bench.state.selectedTeamID = QUuid::createUuid(); // a team that is gone
        bench.state.activeProjectID = QUuid::createUuid(); // a workspace that is gone

        bench.accounts->ensureDefaultTeamAssignments();

        QCOMPARE(bench.state.users.size(), 1);
        QCOMPARE(bench.state.userID, std::optional<QUuid>(bench.state.users.first().id));
        QCOMPARE(bench.state.teams.size(), 1);
        QCOMPARE(bench.state.teams.first().name, QStringLiteral("Personal"));
        QCOMPARE(bench.state.selectedTeamID, std::nullopt);
        QCOMPARE(bench.state.activeProjectID, std::optional<QUuid>(first));
        for (const QUuid &id : {first, second}) {
            QCOMPARE(bench.teamStore.teamIDsForProject(id), QList<QUuid> {bench.state.teams.first().id});
            QCOMPARE(bench.teamStore.ownerForProject(id), bench.state.userID);
        }
        const auto organization = bench.teamStore.organizationIDForTeam(bench.state.teams.first().id);
        QVERIFY(organization);
        QCOMPARE(bench.teamStore.mainNodes(*organization).size(), 1);
    }

    void expiredStoredSessionIsNotUsable()
    {
        AccountBench fresh(AccountBench::session(kNow.addSeconds(3600)));
        QVERIFY(fresh.accounts->hasUsableCloudSession());
        AccountBench stale(AccountBench::session(kNow.addSeconds(-1)));
        QVERIFY(stale.accounts->authSession());
        QVERIFY(!stale.accounts->hasUsableCloudSession());
        // Without a usable session the invite is made locally.
        const QUuid team = stale.localTeam(QStringLiteral("Ops"));
        QVERIFY(finish(stale.accounts->createInvite(team, "x@example.com", BL_TeamMembershipRole::member, 1)));
        QVERIFY(stale.lines().isEmpty());
        QVERIFY(stale.state.lastInvite);
        QVERIFY(stale.state.errors.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAccountSession)
#include "tst_accountsession.moc"
