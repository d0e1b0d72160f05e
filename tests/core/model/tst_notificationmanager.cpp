#include "TestSupport.h"
#include "common/UuidText.h"
#include "model/NotificationManager.h"
#include "platform/FreedesktopNotificationCenter.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>
#include <unistd.h>

namespace {

const QUuid kWorkspace = QUuid::fromString(QStringLiteral("11111111-2222-3333-4444-555555555555"));
const QUuid kTask = QUuid::fromString(QStringLiteral("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"));
const QString kTaskUpper = QStringLiteral("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");

BL_Task boardTask(const QUuid &id, const QByteArray &inputData)
{
    BL_Task task;
    task.blID = id;
    task.projectID = kWorkspace;
    task.status = BL_TaskStatus::inProgress;
    task.inputData = inputData;
    task.metadata = "{}";
    task.taskHistoryData = "[]";
    task.taskConversationData = "[]";
    return task;
}

// The application state's boards as the manager sees them.
class FakeBoards final : public QObject, public BoardTaskLookup
{
public:
    std::optional<BL_Task> boardTask(const QUuid &workspaceID, const QUuid &taskID) const override
    {
        const auto board = boards.constFind(workspaceID);
        if (board == boards.constEnd())
            return std::nullopt;
        const auto task = board->constFind(taskID);
        if (task == board->constEnd())
            return std::nullopt;
        return *task;
    }

    QHash<QUuid, QHash<QUuid, BL_Task>> boards;
};

// What the fake notification centre saw, and how it answers.
struct CenterLog
{
    QList<UserNotificationRequest> requests;
    int authorizationRequests = 0;
    bool granted = true;
    std::optional<QString> authorizationError;
    std::optional<QString> addError;
};

class RecordingCenter final : public UserNotificationCenter
{
public:
    explicit RecordingCenter(std::shared_ptr<CenterLog> log) : m_log(std::move(log)) { }

    void requestAuthorization(AuthorizationHandler done) override
    {
        ++m_log->authorizationRequests;
        done(m_log->granted, m_log->authorizationError);
    }
    void add(const UserNotificationRequest &request, AddHandler done) override
    {
        m_log->requests.append(request);
        done(m_log->addError);
    }

private:
    std::shared_ptr<CenterLog> m_log;
};

// A notification service on a private bus, recording every Notify call.
class FakeNotificationService final : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Call
    {
        QString appName;
        uint replacesID;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
        int expireTimeout;
    };
    QList<Call> calls;

public slots:
    QStringList GetCapabilities() { return {QStringLiteral("body"), QStringLiteral("sound")}; }
    uint Notify(const QString &appName, uint replacesID, const QString &icon, const QString &summary,
        const QString &body, const QStringList &actions, const QVariantMap &hints, int expireTimeout)
    {
        Q_UNUSED(icon);
        calls.append({appName, replacesID, summary, body, actions, hints, expireTimeout});
        if (body == u"refuse") {
            sendErrorReply(QDBusError::AccessDenied, QStringLiteral("Notifications are off"));
            return 0;
        }
        return replacesID != 0 ? replacesID : uint(40 + calls.size());
    }
};

// A private session bus for the life of the test, when dbus-daemon exists.
class PrivateBus
{
public:
    bool start()
    {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty() || !m_dir.isValid())
            return false;
        QFile config(m_dir.filePath(QStringLiteral("bus.conf")));
        if (!config.open(QIODevice::WriteOnly))
            return false;
        config.write("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                     " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                     "<busconfig><type>session</type><listen>unix:dir="
            + m_dir.path().toUtf8()
            + "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
              "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
              "<allow own=\"*\"/></policy></busconfig>\n");
        config.close();
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start(daemon,
            {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
                QStringLiteral("--print-address=1")});
        if (!m_process.waitForStarted(5000))
            return false;
        QDeadlineTimer deadline(5000);
        while (!m_process.canReadLine() && !deadline.hasExpired())
            m_process.waitForReadyRead(int(deadline.remainingTime()));
        address = QString::fromUtf8(m_process.readLine()).trimmed();
        return !address.isEmpty();
    }
    ~PrivateBus()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    QString address;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

} // namespace

Q_DECLARE_METATYPE(BL_Event)

class NotificationManagerTest : public QObject
{
    Q_OBJECT

private:
    BLEventBus m_bus;
    std::unique_ptr<FakeBoards> m_boards;
    std::shared_ptr<CenterLog> m_log;
    QStringList m_lines;
    std::unique_ptr<NotificationManager> m_manager;
    std::unique_ptr<PrivateBus> m_privateBus;
    QTemporaryDir m_emptyRuntimeDir;

    NotificationManager::LineSink recordLines()
    {
        return [this](const QString &line) { m_lines.append(line); };
    }

    void sendAndDeliver(const BL_Event &event)
    {
        m_bus.send(event);
        TestSupport::drainMainThread();
    }

    static BL_Event moved(BL_TaskStatus from, BL_TaskStatus to, const QUuid &task = kTask)
    {
        return BL_Event::make(BL_EventType::taskMoved, kWorkspace, task, BL_TaskMovedPayload {from, to});
    }

private slots:
    void initTestCase()
    {
        // The real notification centre must meet no session bus here, also
        // when the suite runs outside its isolating wrapper.
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("DISPLAY");
        qputenv("XDG_RUNTIME_DIR", m_emptyRuntimeDir.path().toUtf8());
    }

    void init()
    {
        m_boards = std::make_unique<FakeBoards>();
        m_boards->boards[kWorkspace][kTask] = boardTask(kTask, "{\"title\":\"Fix the login page\"}");
        m_log = std::make_shared<CenterLog>();
        m_lines.clear();
        m_manager = std::make_unique<NotificationManager>(
            m_bus, m_boards.get(), m_boards.get(), std::make_unique<RecordingCenter>(m_log), recordLines());
        m_manager->setupEventSubscription();
    }

    void cleanup()
    {
        m_manager.reset();
        m_boards.reset();
        TestSupport::drainMainThread();
    }

    void postsOnCompletion_data()
    {
        QTest::addColumn<BL_Event>("event");
        QTest::addColumn<bool>("posts");

        const QUuid agent = QUuid::createUuid();
        QTest::newRow("worker completed") << BL_Event::make(BL_EventType::workerTaskCompleted, kWorkspace, kTask,
            BL_WorkerResultPayload {agent, std::nullopt, std::nullopt})
                                          << true;
        QTest::newRow("work marked done without payload")
            << BL_Event::make(BL_EventType::workerTaskCompleted, kWorkspace, kTask) << true;
        QTest::newRow("moved into completed") << moved(BL_TaskStatus::inProgress, BL_TaskStatus::completed) << true;
        QTest::newRow("moved into failed") << moved(BL_TaskStatus::inProgress, BL_TaskStatus::failed) << false;
        QTest::newRow("moved into queued") << moved(BL_TaskStatus::completed, BL_TaskStatus::queued) << false;
        QTest::newRow("moved into backlog") << moved(BL_TaskStatus::queued, BL_TaskStatus::backlog) << false;
        QTest::newRow("moved into in progress") << moved(BL_TaskStatus::queued, BL_TaskStatus::inProgress) << false;
        QTest::newRow("moved without payload") << BL_Event::make(BL_EventType::taskMoved, kWorkspace, kTask) << false;

        BL_TaskEventPayload general;
        general.detail = QStringLiteral("completed");
        QTest::newRow("moved with another payload")
            << BL_Event::make(BL_EventType::taskMoved, kWorkspace, kTask, general) << false;
        BL_Event wrongCase = BL_Event::make(BL_EventType::taskMoved, kWorkspace, kTask);
        wrongCase.payload = QByteArray("{\"fromStatus\":\"queued\",\"toStatus\":\"Completed\"}");
        QTest::newRow("moved into Completed in another case") << wrongCase << false;
        BL_Event garbage = BL_Event::make(BL_EventType::taskMoved, kWorkspace, kTask);
        garbage.payload = QByteArray("not json");
        QTest::newRow("moved with a payload that is not JSON") << garbage << false;

        QTest::newRow("worker failed") << BL_Event::make(
            BL_EventType::workerTaskFailed, kWorkspace, kTask, BL_WorkerResultPayload {agent, std::nullopt, "boom"})
                                       << false;
        QTest::newRow("created") << BL_Event::make(BL_EventType::taskCreated, kWorkspace, kTask) << false;
        QTest::newRow("delegation accepted") << BL_Event::make(BL_EventType::delegationAccepted, kWorkspace, kTask,
            BL_DelegationPayload {agent}) << false;
    }
    void postsOnCompletion()
    {
        QFETCH(BL_Event, event);
        QFETCH(bool, posts);
        sendAndDeliver(event);
        QCOMPARE(m_log->requests.size(), posts ? 1 : 0);
        if (posts) {
            const UserNotificationRequest &request = m_log->requests.first();
            QCOMPARE(request.identifier, kTaskUpper);
            QCOMPARE(request.title, QStringLiteral("Task Completed"));
            QCOMPARE(request.body, QStringLiteral("Fix the login page"));
            QVERIFY(request.playsDefaultSound);
        }
        QVERIFY(m_lines.isEmpty());
    }

    void body_data()
    {
        QTest::addColumn<QByteArray>("inputData");
        QTest::addColumn<QString>("body");
        QTest::newRow("title") << QByteArray("{\"title\":\"Ship it\",\"prompt\":\"p\"}") << "Ship it";
        QTest::newRow("empty title kept") << QByteArray("{\"title\":\"\"}") << "";
        QTest::newRow("title a number") << QByteArray("{\"title\":5}") << "Task completed";
        QTest::newRow("title null") << QByteArray("{\"title\":null}") << "Task completed";
        QTest::newRow("prompt only") << QByteArray("{\"prompt\":\"p\"}") << "Task completed";
        QTest::newRow("top-level array") << QByteArray("[{\"title\":\"x\"}]") << "Task completed";
        QTest::newRow("top-level string") << QByteArray("\"x\"") << "Task completed";
        QTest::newRow("not JSON") << QByteArray("title: x") << "Task completed";
        QTest::newRow("empty") << QByteArray() << "Task completed";
    }
    void body()
    {
        QFETCH(QByteArray, inputData);
        QFETCH(QString, body);
        m_boards->boards[kWorkspace][kTask].inputData = inputData;
        sendAndDeliver(BL_Event::make(BL_EventType::workerTaskCompleted, kWorkspace, kTask));
        QCOMPARE(m_log->requests.size(), 1);
        QCOMPARE(m_log->requests.first().body, body);
    }

    void deliveredOnALaterTurnOnly()
    {
        // Published before the manager listened: never seen.
        m_manager = std::make_unique<NotificationManager>(
            m_bus, m_boards.get(), m_boards.get(), std::make_unique<RecordingCenter>(m_log), recordLines());
        sendAndDeliver(BL_Event::make(BL_EventType::workerTaskCompleted, kWorkspace, kTask));
        QCOMPARE(m_log->requests.size(), 0);

        m_manager->setupEventSubscription();
        m_bus.send(BL_Event::make(BL_EventType::workerTaskCompleted, kWorkspace, kTask));
        QCOMPARE(m_log->requests.size(), 0);
        TestSupport::drainMainThread();
        QCOMPARE(m_log->requests.size(), 1);
    }

    // A worker completion normally arrives twice: the completion, and the
    // move into completed that task tracking publishes while handling it. The
    // manager reads the board after both deliveries have finished.
    void completionAndNestedMovePostTwice()
    {
        auto tracking = m_bus.subscribe([this](const BL_Event &event) {
            if (event.type != BL_EventType::workerTaskCompleted)
                return;
            m_boards->boards[kWorkspace][kTask].inputData = "{\"title\":\"Renamed while delivering\"}";
            m_bus.send(moved(BL_TaskStatus::inProgress, BL_TaskStatus::completed));
        });
        sendAndDeliver(BL_Event::make(BL_EventType::workerTaskCompleted, kWorkspace, kTask));
        QCOMPARE(m_log->requests.size(), 2);
        for (const UserNotificationRequest &request : std::as_const(m_log->requests)) {
            QCOMPARE(request.identifier, kTaskUpper);
            QCOMPARE(request.body, QStringLiteral("Renamed while delivering"));
        }
    }

    void nothingPostedWithoutBoardOrTask()
    {
        const QUuid otherWorkspace = QUuid::createUuid();
        sendAndDeliver(BL_Event::make(BL_EventType::workerTaskCompleted, otherWorkspace, kTask));
        sendAndDeliver(BL_Event::make(BL_EventType::workerTaskCompleted, kWorkspace, QUuid::createUuid()));

        // Deleted after the completion was published, before it was delivered.
        m_bus.send(BL_Event::make(BL_EventType::workerTaskCompleted, kWorkspace, kTask));
        m_boards->boards[kWorkspace].remove(kTask);
        TestSupport::drainMainThread();

        QCOMPARE(m_log->requests.size(), 0);
        QVERIFY(m_lines.isEmpty());
    }

    void nothingPostedOnceTheApplicationStateIsGone()
    {
        m_bus.send(BL_Event::make(BL_EventType::workerTaskCompleted, kWorkspace, kTask));
        m_boards.reset();
        TestSupport::drainMainThread();
        m_manager->postNotification(kTask, kWorkspace);
        QCOMPARE(m_log->requests.size(), 0);
    }

    void noDeliveryAfterTheManagerIsGone()
    {
        m_bus.send(BL_Event::make(BL_EventType::workerTaskCompleted, kWorkspace, kTask));
        m_manager.reset();
        TestSupport::drainMainThread();
        QCOMPARE(m_log->requests.size(), 0);
    }

    void printedLines_data()
    {
        QTest::addColumn<bool>("granted");
        QTest::addColumn<QString>("authorizationError");
        QTest::addColumn<QString>("addError");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("granted, posted") << true << QString() << QString()
                                         << QStringList {"Notification authorization granted."};
        QTest::newRow("denied, posted anyway")
            << false << QString() << QString() << QStringList {"Notification authorization denied."};
        QTest::newRow("errors") << false << "No service"
                                << "Refused"
                                << QStringList {"Error requesting notification authorization: No service",
                                       "Error posting notification: Refused"};
    }
    void printedLines()
    {
        QFETCH(bool, granted);
        QFETCH(QString, authorizationError);
        QFETCH(QString, addError);
        QFETCH(QStringList, lines);
        m_log->granted = granted;
        if (!authorizationError.isEmpty())
            m_log->authorizationError = authorizationError;
        if (!addError.isEmpty())
            m_log->addError = addError;
        m_manager->requestAuthorization();
        QCOMPARE(m_log->authorizationRequests, 1);
        sendAndDeliver(BL_Event::make(BL_EventType::workerTaskCompleted, kWorkspace, kTask));
        QCOMPARE(m_log->requests.size(), 1);
        QCOMPARE(m_lines, lines);
    }

    void standardOutputSinkWritesWholeLines()
    {
        QTemporaryFile capture;
        QVERIFY(capture.open());
        std::fflush(stdout);
        const int saved = ::dup(STDOUT_FILENO);
        QVERIFY(saved >= 0);
        QVERIFY(::dup2(capture.handle(), STDOUT_FILENO) >= 0);
        const auto print = NotificationManager::standardOutput();
        print(QStringLiteral("Notification authorization granted."));
        print(QStringLiteral("Error posting notification: é"));
        std::fflush(stdout);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        QFile written(capture.fileName());
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(),
            QByteArray("Notification authorization granted.\nError posting notification: \xC3\xA9\n"));
    }

    // The real centre with no session bus: every operation reports an error
    // line soon, nothing hangs and nothing crashes.
    void noSessionBus()
    {
        m_manager = std::make_unique<NotificationManager>(
            m_bus, m_boards.get(), m_boards.get(), std::make_unique<FreedesktopNotificationCenter>(), recordLines());
        m_manager->setupEventSubscription();
        QElapsedTimer elapsed;
        elapsed.start();
        m_manager->requestAuthorization();
        m_bus.send(BL_Event::make(BL_EventType::workerTaskCompleted, kWorkspace, kTask));
        QVERIFY(TestSupport::waitUntil([&] { return m_lines.size() == 2; }, 3000));
        QVERIFY(elapsed.elapsed() < 3000);
        QVERIFY2(m_lines[0].startsWith(u"Error requesting notification authorization: "), qPrintable(m_lines[0]));
        QVERIFY2(m_lines[1].startsWith(u"Error posting notification: "), qPrintable(m_lines[1]));
        QVERIFY(m_lines[0].size() > int(qstrlen("Error requesting notification authorization: ")));
    }

    void privateBusWithoutNotificationService()
    {
        if (!m_privateBus) {
            m_privateBus = std::make_unique<PrivateBus>();
            if (!m_privateBus->start())
                QSKIP("dbus-daemon is not available");
        }
        const QDBusConnection connection = QDBusConnection::connectToBus(m_privateBus->address, "no-service");
        QVERIFY(connection.isConnected());
        FreedesktopNotificationCenter center(connection);
        QStringList errors;
        center.requestAuthorization([&](bool granted, const std::optional<QString> &error) {
            QVERIFY(!granted);
            errors.append(error.value_or(QString()));
        });
        center.add({kTaskUpper, "Task Completed", "x", true},
            [&](const std::optional<QString> &error) { errors.append(error.value_or(QString())); });
        QVERIFY(TestSupport::waitUntil([&] { return errors.size() == 2; }, 3000));
        QVERIFY(!errors[0].isEmpty() && !errors[1].isEmpty());
        QDBusConnection::disconnectFromBus("no-service");
    }

    void privateBusWithNotificationService()
    {
        if (!m_privateBus) {
            m_privateBus = std::make_unique<PrivateBus>();
            if (!m_privateBus->start())
                QSKIP("dbus-daemon is not available");
        }
        QDBusConnection serviceConnection = QDBusConnection::connectToBus(m_privateBus->address, "service");
        FakeNotificationService service;
        QVERIFY(serviceConnection.registerObject(
            "/org/freedesktop/Notifications", &service, QDBusConnection::ExportAllSlots));
        QVERIFY(serviceConnection.registerService("org.freedesktop.Notifications"));

        const QDBusConnection client = QDBusConnection::connectToBus(m_privateBus->address, "client");
        m_manager = std::make_unique<NotificationManager>(m_bus, m_boards.get(), m_boards.get(),
            std::make_unique<FreedesktopNotificationCenter>(client), recordLines());
        m_manager->setupEventSubscription();
        m_manager->requestAuthorization();
        QVERIFY(TestSupport::waitUntil([&] { return m_lines.size() == 1; }, 3000));
        QCOMPARE(m_lines, QStringList {"Notification authorization granted."});

        m_bus.send(BL_Event::make(BL_EventType::workerTaskCompleted, kWorkspace, kTask));
        QVERIFY(TestSupport::waitUntil([&] { return service.calls.size() == 1; }, 3000));
        // Replies come back in order: once a second permission answer is in,
        // the centre has read the service's id for the first notification.
        m_manager->requestAuthorization();
        QVERIFY(TestSupport::waitUntil([&] { return m_lines.size() == 2; }, 3000));
        m_bus.send(moved(BL_TaskStatus::inProgress, BL_TaskStatus::completed));
        QVERIFY(TestSupport::waitUntil([&] { return service.calls.size() == 2; }, 3000));

        const FakeNotificationService::Call &first = service.calls[0];
        QCOMPARE(first.appName, QStringLiteral("Tessaron"));
        QCOMPARE(first.replacesID, 0u);
        QCOMPARE(first.summary, QStringLiteral("Task Completed"));
        QCOMPARE(first.body, QStringLiteral("Fix the login page"));
        QVERIFY(first.actions.isEmpty());
        QCOMPARE(first.hints.value("sound-name").toString(), QStringLiteral("message-new-instant"));
        QCOMPARE(first.expireTimeout, -1);
        // The same identifier replaces the notification shown before.
        QCOMPARE(service.calls[1].replacesID, 41u);

        const QUuid refused = QUuid::createUuid();
        m_boards->boards[kWorkspace][refused] = boardTask(refused, "{\"title\":\"refuse\"}");
        m_bus.send(BL_Event::make(BL_EventType::workerTaskCompleted, kWorkspace, refused));
        QVERIFY(TestSupport::waitUntil([&] { return m_lines.size() == 3; }, 3000));
        QCOMPARE(m_lines[2], QStringLiteral("Error posting notification: Notifications are off"));

        m_manager.reset();
        QDBusConnection::disconnectFromBus("client");
        serviceConnection.unregisterService("org.freedesktop.Notifications");
        QDBusConnection::disconnectFromBus("service");
    }

    void cleanupTestCase() { m_privateBus.reset(); }
};

QTEST_GUILESS_MAIN(NotificationManagerTest)
#include "tst_notificationmanager.moc"
