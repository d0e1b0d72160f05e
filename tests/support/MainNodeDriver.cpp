#include "MainNodeDriver.h"

#include "board/TaskBoardStore.h"
#include "model/BL_TaskGitDiff.h"
#include "model/UserNotificationCenter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace {

class SilentNotificationCenter final : public UserNotificationCenter
{
public:
    void requestAuthorization(AuthorizationHandler done) override { done(true, std::nullopt); }
    void add(const UserNotificationRequest &, AddHandler done) override { done(std::nullopt); }
};

bool runToEnd(QCoro::Task<> task)
{
    bool done = false;
    auto wrapper = [](QCoro::Task<> inner, bool *finished) -> QCoro::Task<> {
        co_await std::move(inner);
        *finished = true;
    };
    auto running = wrapper(std::move(task), &done);
    return TestSupport::waitUntil([&] { return done; }, 30000);
}

void git(const QString &folder, const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("git"), QStringList {QStringLiteral("-C"), folder} + arguments);
    process.waitForFinished(20000);
}

} // namespace

const QString MainNodeDriver::kMarkupTitle = QStringLiteral("<b>Bold</b> & <script>alert(1)</script> title");

MainNodeDriver::MainNodeDriver(Options options)
{
    AppStateOptions stateOptions;
    stateOptions.dataDirectory = m_home.path() + QStringLiteral("/appdata");
    stateOptions.standardDefaults = &m_standardDefaults;
    stateOptions.legacyDefaults = &m_legacy;
    stateOptions.notificationCenter = std::make_unique<SilentNotificationCenter>();
    stateOptions.notificationOutput = [](const QString &) {};
    m_state = std::make_unique<AppState>(
        m_defaults, std::make_unique<BrimlockSessionTerminator>(), std::move(stateOptions));
    if (!runToEnd(m_state->bootstrap()) || m_state->projects().isEmpty())
        return;
    m_workspaceID = m_state->projects().first().id;
    const QString root = m_state->projects().first().rootPath;
    git(root, {QStringLiteral("init"), QStringLiteral("-q")});

    m_markupTaskID = addTask(kMarkupTitle, BL_TaskStatus::backlog);
    addTask(QStringLiteral("Queued: write the release notes"), BL_TaskStatus::queued);
    addTask(QStringLiteral("In progress: index the docs"), BL_TaskStatus::inProgress);
    const QUuid withURL = addTask(QStringLiteral("Completed: preview the site"), BL_TaskStatus::completed);
    m_state->taskStore(m_workspaceID)->updateTask(withURL, [](BL_Task &task) {
        task.outputData = QByteArray("{\"command\":\"serve\",\"exitCode\":0,\"stdout\":\"Serving on "
                                     "http://127.0.0.1:8080/preview?token=s3cret&page=2\",\"stderr\":\"\"}");
    });
    writeLog(withURL, "Build finished.\nServing on http://127.0.0.1:8080/preview\n");

    m_readyDiffTaskID = addTask(QStringLiteral("Completed: fix the parser"), BL_TaskStatus::completed);
    const TaskGitCheckpointService service = m_state->taskGitCheckpointService();
    const QString patchPath = service.patchFilePath(m_workspaceID, m_readyDiffTaskID);
    QDir().mkpath(QFileInfo(patchPath).path());
    QFile patch(patchPath);
    if (patch.open(QIODevice::WriteOnly))
        patch.write("diff --git a/parser.cpp b/parser.cpp\n--- a/parser.cpp\n+++ b/parser.cpp\n@@ -1,2 +1,2 @@\n"
                    "-int parse();\n+int parse(const char *text);\n");
    patch.close();
    BL_TaskGitDiffArtifact ready;
    ready.state = BL_TaskGitDiffState::ready;
    ready.diffFilePath = patchPath;
    ready.summary = BL_TaskGitDiffSummary {};
    ready.summary->linesAdded = 1;
    ready.summary->linesRemoved = 1;
    ready.summary->filesChanged = 1;
    m_state->taskStore(m_workspaceID)->updateTask(m_readyDiffTaskID, [&](BL_Task &task) {
        task.metadata = BL_TaskGitDiffArtifact::encode(ready, task.metadata);
    });

    const QUuid pending = addTask(QStringLiteral("Failed: migrate the store"), BL_TaskStatus::failed);
    BL_TaskGitDiffArtifact pendingDiff;
    pendingDiff.state = BL_TaskGitDiffState::pending;
    m_state->taskStore(m_workspaceID)->updateTask(pending, [&](BL_Task &task) {
        task.metadata = BL_TaskGitDiffArtifact::encode(pendingDiff, task.metadata);
    });

    for (int i = 0; i < options.extraTasks; ++i) {
        const QUuid id = addTask(QStringLiteral("Extra task %1").arg(i + 1), BL_TaskStatus::backlog);
        if (options.extraLogBytes > 0) {
            QByteArray log;
            log.reserve(options.extraLogBytes);
            while (log.size() < options.extraLogBytes)
                log += "step " + QByteArray::number(log.size()) + " ok \xe2\x9c\x93\n";
            writeLog(id, log);
        }
    }

    LocalViewerOptions viewer;
    if (options.port != 0)
        viewer.portSource = [port = options.port] { return port; };
    if (!options.token.isEmpty())
        viewer.tokenSource = [token = options.token] { return token; };
    m_state->setLocalViewerOptions(viewer);
    m_state->ensureLocalTaskViewerServerStarted();
    m_ok = m_state->isLocalTaskViewerRunning();
    if (m_ok)
        qInfo("main node serving %s", qPrintable(shareLink().toString()));
}

MainNodeDriver::~MainNodeDriver() = default;

quint16 MainNodeDriver::port() const
{
    const LocalTaskViewerServer *server = m_state ? m_state->localTaskViewerServer() : nullptr;
    return server && server->boundPort() ? *server->boundPort() : 0;
}

QString MainNodeDriver::token() const
{
    const LocalTaskViewerServer *server = m_state ? m_state->localTaskViewerServer() : nullptr;
    return server ? server->accessToken() : QString();
}

QUrl MainNodeDriver::shareLink() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/?token=%2").arg(port()).arg(token()));
}

QUuid MainNodeDriver::addTask(const QString &title, BL_TaskStatus status)
{
    TaskCreationRequest request;
    request.projectID = m_workspaceID;
    request.title = title;
    request.acceptanceCriteria = title;
    request.priority = QStringLiteral("medium");
    request.sizeEstimate = QStringLiteral("M");
    request.initialStatus = BL_TaskStatus::backlog;
    const QList<QUuid> before = m_state->taskStore(m_workspaceID)->taskByID().keys();
    m_state->createTask(request);
    for (const QUuid &id : m_state->taskStore(m_workspaceID)->taskByID().keys()) {
        if (!before.contains(id)) {
            // Board only: no worker is started for the statuses set here.
            m_state->taskStore(m_workspaceID)->updateTask(id, [status](BL_Task &task) { task.status = status; });
            return id;
        }
    }
    return {};
}

void MainNodeDriver::writeLog(const QUuid &taskID, const QByteArray &bytes)
{
    const QString path = m_state->taskLogWriter().taskStdoutLogFilePath(m_workspaceID, taskID);
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}
