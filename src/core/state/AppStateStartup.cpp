// Start-up: the database, the bookmark tidy, the restore of every remembered
// workspace, and a first workspace on an empty installation.
#include "AppState.h"

#include "common/UuidText.h"
#include "platform/FolderBookmark.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>

QCoro::Task<> AppState::bootstrap()
{
    QPointer<AppState> self(this);
    auto migrating = m_database->migrate();
    const Result<void> migrated = co_await migrating;
    if (!self)
        co_return;
    if (!migrated) {
        setLastErrorMessage(QStringLiteral("Failed to initialize workspace database: ") + migrated.errorMessage());
        co_return;
    }

    tidyBookmarks();
    auto restoring = restoreBookmarkedProjects();
    co_await std::move(restoring);
    if (!self)
        co_return;
    reconcilePendingTaskGitCheckpoints();
    ensureDefaultTeamAssignments();
    prefetchSidebarDataIfNeeded();

    if (!isClientNodeMode() && m_projects.isEmpty()) {
        if (const auto root = managedWorkspaceRootDirectoryURL()) {
            auto creating = initializeNewProject(QDir(*root).filePath(QStringLiteral("playground")));
            co_await std::move(creating);
            if (!self)
                co_return;
        }
    }
    if (isClientNodeMode()) {
        auto syncing = syncFromClientNode(QStringLiteral("bootstrap"));
        co_await std::move(syncing);
        if (!self)
            co_return;
    }
    if (m_remoteSyncFeatureEnabled) {
        auto refreshing = refreshAuthContextFromBackend();
        co_await std::move(refreshing);
    }
}

QList<ProjectBookmarkStore::ImportedProjectRecord> AppState::tidyBookmarks()
{
    // The store reads the file, merges records of the same folder and
    // rewrites the file when that changed anything; an unreadable file gives
    // no records and stays as it is, a damaged record is skipped with a
    // warning and the others come back.
    return m_bookmarkStore->loadRecords();
}

QCoro::Task<> AppState::restoreBookmarkedProjects()
{
    QPointer<AppState> self(this);
    QList<ProjectBookmarkStore::ImportedProjectRecord> records = tidyBookmarks();
    std::stable_sort(
        records.begin(), records.end(), [](const auto &a, const auto &b) { return a.createdAt < b.createdAt; });

    if (!records.isEmpty()) {
        const qint64 agents = m_workerPool->agents().size();
        const qint64 remembered = std::min({agents, qint64(6), records.first().agentCount});
        const qint64 size = remembered >= 1 ? remembered : std::min<qint64>(agents, validationWorkerPoolSize);
        m_workerPool->setSharedAgentCount(std::max<qint64>(0, std::min(agents, size)));
        assign(m_sharedWorkerPoolSize, size, Field::sharedWorkerPoolSize);
    }

    QList<BL_Workspace> restored;
    for (const auto &record : std::as_const(records)) {
        // The folder: the bookmark when it still resolves, else the path.
        std::optional<QString> resolvedPath;
        if (const auto resolved = FolderBookmark::resolve(record.bookmarkData); resolved && !resolved->isStale)
            resolvedPath = resolved->path;
        QString folder;
        QByteArray bookmarkData = record.bookmarkData;
        if (resolvedPath) {
            folder = *resolvedPath;
        } else {
            if (record.rootPath.isEmpty() || !QFileInfo::exists(record.rootPath))
                continue;
            folder = record.rootPath;
            if (const auto fresh = FolderBookmark::create(folder))
                bookmarkData = *fresh;
        }

        // The name: the remembered one, else the folder's; a config file
        // found in the folder decides.
        const QString folderName = QFileInfo(QDir::cleanPath(folder)).fileName();
        QString name = record.projectName.isEmpty() ? folderName : record.projectName;
        if (const auto detection = m_fileSystem.detectProject(folder); detection.configURL) {
            const auto bytes = m_fileSystem.readWorkspaceFile(*detection.configURL);
            const auto config
                = bytes ? BL_WorkspaceConfig::parse(*bytes, folderName) : Result<BL_WorkspaceConfig>(bytes.error());
            if (config)
                name = config->name;
            else if (resolvedPath)
                continue;
        }

        const TimePoint now = m_clock->now();
        const BL_Workspace workspace {record.projectID, std::nullopt, name, folder, now, now};
        auto upserting = m_database->upsertProject(workspace);
        const Result<void> stored = co_await upserting;
        if (!self)
            co_return;
        if (!stored)
            continue;
        auto fetching = m_database->fetchTasks(workspace.id);
        const Result<QList<BL_Task>> tasks = co_await fetching;
        if (!self)
            co_return;
        if (!tasks)
            continue;

        m_taskStores.insert(workspace.id, std::make_shared<TaskBoardStore>(*tasks, *m_clock));
        publish(Field::taskStores);
        change(m_agentCountByProjectID, Field::agentCountByProjectID,
            [&](auto &counts) { counts.insert(workspace.id, m_sharedWorkerPoolSize); });
        refreshWorkerStats(workspace.id);
        restored.append(workspace);
        m_bookmarkStore->save(bookmarkData, workspace.id, name, folder, m_sharedWorkerPoolSize);
        startProjectWatcher(workspace, bookmarkData);
    }

    std::stable_sort(restored.begin(), restored.end(),
        [](const BL_Workspace &a, const BL_Workspace &b) { return a.createdAt < b.createdAt; });
    assign(m_projects, restored, Field::projects);
    for (const BL_Workspace &workspace : std::as_const(restored))
        scheduleReadyTasksIfCapacity(workspace.id);

    ensureDefaultTeamAssignments();

    std::optional<QUuid> lastViewed;
    if (const auto text
        = m_settings.migratedString(AppSettings::lastViewedProjectKey, AppSettings::legacyLastViewedProjectKey))
        lastViewed = UuidText::parse(*text);
    const QList<BL_Workspace> visible = projectsForSelectedTeam();
    std::optional<QUuid> active;
    if (lastViewed && std::any_of(visible.begin(), visible.end(), [&](const auto &w) { return w.id == *lastViewed; }))
        active = lastViewed;
    else if (!visible.isEmpty())
        active = visible.first().id;
    else if (!m_projects.isEmpty())
        active = m_projects.first().id;
    setActiveProjectID(active);

    if (m_remoteSyncFeatureEnabled && hasUsableCloudSession() && resolvedBackendAPIBaseURL()) {
        auto polling = pollRemoteTasksAcrossProjects(QStringLiteral("workspace-restore"));
        co_await std::move(polling);
    }
}
