#include "AppStateFixture.h"
#include "common/UuidText.h"
#include "storage/SQLiteDatabaseService.h"
#include "storage/TransientDatabaseService.h"

#include <QtTest>

class AppStateTest : public QObject
{
    Q_OBJECT

private slots:
    void firstLaunchDefaults()
    {
        AppStateFixture fixture;
        auto state = fixture.make();
        QCOMPARE(state->currentNodeType(), std::optional<BL_NodeType>(BL_NodeType::mainNode));
        QCOMPARE(state->clientNodePort(), 18789);
        QCOMPARE(fixture.defaults.integer(AppSettings::clientNodePortKey), std::optional<qint64>(18789));
        QVERIFY(!state->remoteSyncFeatureEnabled());
        QCOMPARE(fixture.defaults.boolean(AppSettings::remoteTaskSyncFlagKey), std::optional<bool>(false));
        QVERIFY(state->backendBaseURLString().isEmpty());
        QVERIFY(state->googleOAuthClientIDString().isEmpty());
        QCOMPARE(state->sharedWorkerPoolSize(), 4);
        QCOMPARE(state->workerPool().sharedAgentCount(), 4);
        QCOMPARE(state->workerPool().agents().size(), 6);
        QCOMPARE(state->workerPool().agents().first().name, QStringLiteral("Planner-01"));
        const QString nodeID = fixture.defaults.string(AppSettings::nodeInstanceIDKey).value();
        QCOMPARE(nodeID, nodeID.toLower());
        QVERIFY(!state->isAuthenticated());
        QVERIFY(state->notificationManager());
        QVERIFY(dynamic_cast<SQLiteDatabaseService *>(&state->database()));
        QVERIFY(QFileInfo::exists(fixture.dataDirectory + QStringLiteral("/tessaron.sqlite")));

        // A second launch: new agents and manager, the same node id.
        const QUuid firstManager = state->managerID();
        const QUuid firstAgent = state->workerPool().agents().first().id;
        state.reset();
        auto again = fixture.make();
        QVERIFY(again->managerID() != firstManager);
        QVERIFY(again->workerPool().agents().first().id != firstAgent);
        QCOMPARE(again->persistentNodeInstanceID(), nodeID);
    }

    void settingsComeFromLegacyKeys_data()
    {
        QTest::addColumn<QString>("nodeType");
        QTest::addColumn<QJsonValue>("port");
        QTest::addColumn<bool>("inSuite");
        QTest::addColumn<int>("expectedType"); // -1: no role
        QTest::addColumn<qint64>("expectedPort");
        QTest::newRow("client node, high port")
            << "clientNode" << QJsonValue(70000) << false << int(BL_NodeType::clientNode) << qint64(65535);
        QTest::newRow("unknown role, negative port") << "boss" << QJsonValue(-5) << true << -1 << qint64(0);
        QTest::newRow("sub node from the suite, text port")
            << "subNode" << QJsonValue("80") << true << int(BL_NodeType::subNode) << qint64(18789);
    }
    void settingsComeFromLegacyKeys()
    {
        QFETCH(QString, nodeType);
        QFETCH(QJsonValue, port);
        QFETCH(bool, inSuite);
        QFETCH(int, expectedType);
        QFETCH(qint64, expectedPort);
        AppStateFixture fixture;
        SettingsStore &source = inSuite ? static_cast<SettingsStore &>(fixture.legacySuite) : fixture.defaults;
        source.setValue(AppSettings::legacyNodeTypeKey, nodeType);
        fixture.defaults.setValue(AppSettings::clientNodePortKey, port);
        fixture.defaults.setValue(AppSettings::backendBaseURLKey, QString());
        source.setValue(AppSettings::legacyBackendBaseURLKey, QStringLiteral("https://api.example.test"));
        auto state = fixture.make();
        if (expectedType < 0)
            QVERIFY(!state->currentNodeType());
        else
            QCOMPARE(int(*state->currentNodeType()), expectedType);
        QCOMPARE(state->clientNodePort(), expectedPort);
        QCOMPARE(state->backendBaseURLString(), QStringLiteral("https://api.example.test"));
        QCOMPARE(fixture.defaults.string(AppSettings::backendBaseURLKey).value(),
            QStringLiteral("https://api.example.test"));
        QCOMPARE(fixture.defaults.string(AppSettings::nodeTypeKey).value(), nodeType);
        QVERIFY(source.contains(AppSettings::legacyNodeTypeKey));
        // A port stored as a number stays as it was; a text port is overwritten.
        if (port.isString())
            QCOMPARE(fixture.defaults.integer(AppSettings::clientNodePortKey), std::optional<qint64>(18789));
        else
            QCOMPARE(fixture.defaults.value(AppSettings::clientNodePortKey).value(), port);
    }

    void subscribersInConstructionOrder()
    {
        // The engine answers a delegation request (first), the application
        // state sees it after the system watcher (second); a recorder added
        // afterwards sees the event last among the synchronous subscribers.
        AppStateFixture fixture;
        auto state = fixture.make();
        QStringList order;
        auto recorder = BLEventBus::shared().subscribe([&](const BL_Event &e) { order << rawValue(e.type); });
        // With no agent free, the engine rejects the request synchronously:
        // its rejection reaches the recorder before the request itself does.
        state->workerPool().setSharedAgentCount(0);
        BL_DelegationRequestPayload request {state->managerID(), QStringLiteral("test"), std::nullopt, std::nullopt};
        BLEventBus::shared().send(
            BL_Event::make(BL_EventType::delegationRequested, QUuid::createUuid(), QUuid::createUuid(), request));
        QCOMPARE(order, (QStringList {"delegationRejected", "delegationRequested"}));
    }

    void unusableDataDirectoryGivesInMemoryStore()
    {
        AppStateFixture fixture;
        QFile blocker(fixture.home.path() + QStringLiteral("/blocker"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        fixture.dataDirectory = blocker.fileName() + QStringLiteral("/appdata");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("in memory only")));
        auto state = fixture.make();
        QVERIFY(dynamic_cast<TransientDatabaseService *>(&state->database()));
        QVERIFY(!state->lastErrorMessage());
    }

    void databaseFolderInTheWayGivesInMemoryStore()
    {
        AppStateFixture fixture;
        QDir().mkpath(fixture.dataDirectory + QStringLiteral("/tessaron.sqlite"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("could not be opened.*in memory only")));
        auto state = fixture.make();
        QVERIFY(dynamic_cast<TransientDatabaseService *>(&state->database()));
    }

    // A field's signal goes out when its value changed, never for the same value again.
    void fieldsSignalOnlyWhenTheyChange()
    {
        AppStateFixture fixture;
        auto state = fixture.make();
        QList<AppState::Field> fields;
        connect(state.get(), &AppState::changed, this, [&](AppState::Field field) { fields.append(field); });
        const QUuid team = QUuid::createUuid();
        const QUuid project = QUuid::createUuid();
        for (int twice = 0; twice < 2; ++twice) {
            state->setSelectedTeamID(team);
            state->setLastErrorMessage(QStringLiteral("Something failed."));
            state->setBrowserSidebarVisible(true, project);
            state->setBrowserURL(QStringLiteral("http://localhost:3000"), project);
            state->setActiveProjectID(project);
            state->setCurrentNodeType(state->currentNodeType());
        }
        state->setBrowserSidebarVisible(false, project);
        using F = AppState::Field;
        QCOMPARE(fields,
            (QList<F> {F::selectedTeamID, F::lastErrorMessage, F::browserSidebarEnabledProjectIDs,
                F::browserURLByProjectID, F::activeProjectID, F::browserSidebarEnabledProjectIDs}));
        // The remembered workspace is stored all the same.
        QCOMPARE(fixture.defaults.string(AppSettings::lastViewedProjectKey),
            std::optional<QString>(UuidText::upper(project)));
    }

    void oauthLogLines()
    {
        AppStateFixture fixture;
        auto state = fixture.make();
        state->appendOAuthLog(QStringLiteral("first"));
        state->appendOAuthLog(QStringLiteral("second"));
        const QStringList lines = state->oauthDebugLogText().split(u'\n');
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[0].startsWith(u'['));
        QVERIFY(lines[0].endsWith(QStringLiteral("Z] first")));
        QVERIFY(lines[1].endsWith(QStringLiteral("Z] second")));
        QVERIFY(!state->oauthDebugLogText().startsWith(u'\n'));
    }

    void backendAddress_data()
    {
        QTest::addColumn<QString>("entered");
        QTest::addColumn<QString>("expected"); // empty: none
        QTest::newRow("spaces") << "   "
                                << "";
        QTest::newRow("suffix added") << " https://api.example.test "
                                      << "https://api.example.test/v1";
        QTest::newRow("suffix kept") << "https://api.example.test/v1"
                                     << "https://api.example.test/v1";
        QTest::newRow("trailing slash dropped") << "https://api.example.test/"
                                                << "https://api.example.test/v1";
        QTest::newRow("slash after the suffix dropped") << "https://api.example.test/v1//"
                                                        << "https://api.example.test/v1";
    }
    void backendAddress()
    {
        QFETCH(QString, entered);
        QFETCH(QString, expected);
        AppStateFixture fixture;
        fixture.defaults.setValue(AppSettings::backendBaseURLKey, entered);
        auto state = fixture.make();
        QCOMPARE(state->resolvedBackendAPIBaseURL().value_or(QString()), expected);
        // Cloud polls and main-node syncs stay off with the default settings.
        QVERIFY(!state->shouldAttemptRemotePoll(QStringLiteral("interval")));
        QVERIFY(!state->shouldAttemptRemotePoll(QStringLiteral("local-create")));
        QVERIFY(!state->shouldAttemptClientNodeSync(QStringLiteral("bootstrap")));
    }
};

QTEST_GUILESS_MAIN(AppStateTest)
#include "tst_appstate.moc"
