#include "ProjectWatcher.h"

#include "common/Actor.h"
#include "common/FutureResult.h"
#include "common/Json.h"
#include "common/Logging.h"
#include "common/MainThreadQueue.h"
#include "common/UuidText.h"
#include "model/BLEventBus.h"
#include "model/BL_Event.h"
#include "platform/FolderBookmark.h"
#include "storage/DatabaseServiceProtocol.h"
#include "storage/FolderEventSource.h"
#include "storage/LocalFileSystemService.h"
#include "storage/RegularFile.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPromise>
#include <QSet>
#include <QTimer>
#include <sys/stat.h>

namespace {

const QString kDiscoveredDetail = QStringLiteral("Task discovered from workspace files.");
const QString kModifiedDetail = QStringLiteral("Task file modified on disk.");
const QString kRemovedDetail = QStringLiteral("Task removed from workspace files.");
const QString kGitDiffArtifactKey = QStringLiteral("git_diff_artifact");
const QString kAppliedFilesKey = QStringLiteral("applied_files");

using Completion = std::shared_ptr<QPromise<void>>;
// File path relative to the workspace root (so a moved workspace keeps its
// record) → hex SHA-256 of the content last applied from that file.
using AppliedDigests = QHash<QString, QByteArray>;

// Which of the fields that otherwise keep their stored values a task file
// names itself. JSON null and unusable values count as not named.
struct CarriedFields
{
    bool conversation = false;
    bool delegationState = false;
    bool workerSessionKey = false;
    bool outputData = false;
    bool gitDiffArtifact = false;
};

CarriedFields carriedFields(const QByteArray &json)
{
    CarriedFields carried;
    const std::optional<QJsonObject> root = Json::parseObject(json);
    if (!root)
        return carried;
    const auto present = [&](const QString &key) {
        const QJsonValue value = root->value(key);
        return !value.isUndefined() && !value.isNull();
    };
    const QJsonValue delegation = root->value(QLatin1String("delegation_state"));
    carried.conversation = present(QStringLiteral("task_conversation"));
    carried.delegationState = delegation.isString() && taskDelegationStateFromRaw(delegation.toString()).has_value();
    carried.workerSessionKey = root->value(QLatin1String("worker_session_key")).isString();
    carried.outputData = present(QStringLiteral("output_data"));
    const QJsonValue metadata = root->value(QLatin1String("metadata"));
    carried.gitDiffArtifact = metadata.isObject() && metadata.toObject().contains(kGitDiffArtifactKey);
    return carried;
}

// A task read from a file in the file phase, on its way to the store phase.
struct IncomingTask
{
    QString stateKey; // the file's key in the applied digests
    BL_Task task;
    QByteArray digest;
    bool alreadyApplied = false; // this very content was applied before
    bool hasRecordedDigest = false; // some content of this file was applied before
    CarriedFields carried;
};

// With no digest recorded for a file (its state file lost, or a path it
// never knew), an unchanged file cannot be told from an edited one by its
// bytes. A file that differs from the stored task only in its updated date,
// or whose updated date is not later than the stored task's, holds nothing
// newer than what the application already has (and has moved on from: run,
// completed, talked to), so it is not applied again.
bool staleWithoutRecord(const BL_Task &existing, const BL_Task &merged)
{
    BL_Task sameDate = merged;
    sameDate.updatedAt = existing.updatedAt;
    return !ProjectWatcher::hasExternalTaskChanged(existing, sameDate) || merged.updatedAt <= existing.updatedAt;
}

std::optional<ProjectWatcher::FileSignature> signatureOf(const QString &path)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return ProjectWatcher::FileSignature {
        double(info.st_mtim.tv_sec) + double(info.st_mtim.tv_nsec) / 1e9, qint64(info.st_size)};
}

QByteArray digestOf(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

AppliedDigests readAppliedDigests(const QString &path)
{
    AppliedDigests digests;
    const Result<QByteArray> bytes = RegularFile::read(path, LocalFileSystemService::kMaximumWorkspaceFileSize);
    if (!bytes)
        return digests; // none yet, or unreadable: every file is applied once more
    const std::optional<QJsonObject> root = Json::parseObject(*bytes);
    if (!root)
        return digests;
    const QJsonObject files = root->value(kAppliedFilesKey).toObject();
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        if (it->isString())
            digests.insert(it.key(), it->toString().toLatin1());
    }
    return digests;
}

void writeAppliedDigests(const QString &path, const AppliedDigests &digests)
{
    QJsonObject files;
    for (auto it = digests.constBegin(); it != digests.constEnd(); ++it)
        files.insert(it.key(), QString::fromLatin1(it.value()));
    QJsonObject root;
    root.insert(kAppliedFilesKey, files);
    // A failed write only means that the files are applied once more later.
    if (RegularFile::createFolders(QFileInfo(path).absolutePath()))
        (void)RegularFile::writeAtomically(path, Json::write(root));
}

// The history with one entry of `type` appended, keeping the newest 100; a
// history that does not decode starts over.
QByteArray withHistoryEntry(const BL_Task &task, BL_EventType type, const QString &detail, TimePoint now)
{
    QList<BL_TaskHistoryEvent> history = task.decodedHistory().value_or(QList<BL_TaskHistoryEvent>());
    history.append(BL_TaskHistoryEvent {QUuid::createUuid(), type, now, std::nullopt, detail});
    if (history.size() > BL_Task::kHistoryLimit)
        history.remove(0, history.size() - BL_Task::kHistoryLimit);
    return encodeHistory(history);
}

// The file's metadata with the stored "git_diff_artifact" member put back
// when the file has none.
QByteArray withStoredArtifact(const QByteArray &fileMetadata, const QByteArray &storedMetadata)
{
    const std::optional<QJsonObject> stored = Json::parseObject(storedMetadata);
    if (!stored || !stored->contains(kGitDiffArtifactKey))
        return fileMetadata;
    std::optional<QJsonObject> metadata = Json::parseObject(fileMetadata);
    if (!metadata)
        return fileMetadata;
    metadata->insert(kGitDiffArtifactKey, stored->value(kGitDiffArtifactKey));
    const Result<QByteArray> encoded = BL_Task::encodeJSONFragment(*metadata);
    return encoded ? *encoded : fileMetadata;
}

// A changed file merged into its stored task. The file is the authority on
// what it names; the worker state and the history are the application's, and
// so are the conversation, the delegation state, the session key, the output
// and the git artifact unless the file names them itself.
BL_Task mergedTask(const BL_Task &existing, const IncomingTask &incoming)
{
    BL_Task merged = incoming.task;
    merged.workerState = existing.workerState;
    merged.taskHistoryData = existing.taskHistoryData;
    if (!incoming.carried.conversation)
        merged.taskConversationData = existing.taskConversationData;
    if (!incoming.carried.delegationState)
        merged.delegationState = existing.delegationState;
    if (!incoming.carried.workerSessionKey)
        merged.workerSessionKey = existing.workerSessionKey;
    if (!incoming.carried.outputData)
        merged.outputData = existing.outputData;
    if (!incoming.carried.gitDiffArtifact)
        merged.metadata = withStoredArtifact(merged.metadata, existing.metadata);
    return merged;
}

// Publishes the event on the main thread; the future finishes once every
// synchronous subscriber has had it, and ends cancelled when the watcher
// shuts down first.
QFuture<void> sendOnMainThread(const MainThreadQueue &mainThread, BLEventBus &bus, BL_EventType type,
    const QUuid &projectID, const QUuid &taskID, const QString &detail)
{
    return mainThread.run([&bus, type, projectID, taskID, detail] {
        BL_TaskEventPayload payload;
        payload.detail = detail;
        // Made here, so its timestamp is the moment of sending.
        bus.send(BL_Event::make(type, projectID, taskID, payload));
    });
}

} // namespace

struct ProjectWatcher::Core : std::enable_shared_from_this<Core>
{
    Core(BL_Workspace project, QByteArray bookmarkData, const FileSystemProtocol &fileSystem,
        DatabaseServiceProtocol &database, BLEventBus &eventBus, ChangeCallback onTasksChanged, QString stateFile,
        const Clock &clock)
        : project(std::move(project)),
          bookmarkData(std::move(bookmarkData)),
          fileSystem(fileSystem),
          database(database),
          eventBus(eventBus),
          onTasksChanged(std::move(onTasksChanged)),
          stateFile(std::move(stateFile)),
          clock(clock),
          actor(QStringLiteral("tessaron.project-watcher.") + UuidText::upper(this->project.id))
    {
    }

    ~Core()
    {
        // Runs off the executor's thread once nothing refers to the core any
        // more; the objects living on that thread go there.
        actor.call([this] { endWatching(); }).waitForFinished();
    }

    void beginWatching(const QString &root);
    void endWatching();
    void scheduleSync(bool immediate, Completion completion);
    void startSyncCycle();
    void syncFromDisk(quint64 cycleGeneration, QList<Completion> completions);
    void completeCycle(quint64 cycleGeneration, QList<Completion> completions);
    static QCoro::Task<> storePhase(std::shared_ptr<Core> self, quint64 cycleGeneration, QList<IncomingTask> changed,
        QList<QUuid> removed, QStringList forgottenPaths, QList<Completion> completions);
    void recordAppliedFiles(quint64 cycleGeneration, const AppliedDigests &applied, const QStringList &forgotten);

    const BL_Workspace project;
    const QByteArray bookmarkData;
    const FileSystemProtocol &fileSystem;
    DatabaseServiceProtocol &database;
    BLEventBus &eventBus;
    const ChangeCallback onTasksChanged;
    const QString stateFile;
    const Clock &clock;
    MainThreadQueue mainThread; // the events of the store phase

    // Touched only on the executor's thread.
    std::optional<QString> scopedURL; // the workspace root while started
    std::unique_ptr<FolderEventSource> source;
    std::unique_ptr<QTimer> pendingDebouncedSync;
    // Counts stop()s, so that a store phase that outlives its watching does
    // not touch the state of a later one.
    quint64 generation = 0;
    bool isSyncInFlight = false;
    bool hasQueuedSync = false;
    QList<Completion> pendingSyncCompletions;
    QHash<QString, QUuid> knownTasksByFilePath;
    QHash<QString, FileSignature> knownFileSignaturesByPath;
    QSet<QString> unreadablePaths; // warned about, until they read again
    std::optional<AppliedDigests> appliedDigests; // read from the state file at the first cycle

    Actor actor; // last: its thread has ended before the fields above go
};

void ProjectWatcher::Core::beginWatching(const QString &root)
{
    scopedURL = root;
    const QString watchFolder = fileSystem.watchDirectoryURL(root);
    auto opened = FolderEventSource::open(watchFolder, [this] { scheduleSync(false, nullptr); });
    if (!opened)
        return; // no events, no cycles
    source = std::move(opened).value();
    scheduleSync(true, nullptr);
}

void ProjectWatcher::Core::endWatching()
{
    ++generation;
    pendingDebouncedSync.reset();
    source.reset();
    scopedURL.reset();
    isSyncInFlight = false;
    hasQueuedSync = false;
    pendingSyncCompletions.clear(); // their futures end cancelled
    knownTasksByFilePath.clear();
    knownFileSignaturesByPath.clear();
    appliedDigests.reset();
}

void ProjectWatcher::Core::scheduleSync(bool immediate, Completion completion)
{
    if (completion)
        pendingSyncCompletions.append(std::move(completion));
    if (immediate) {
        if (pendingDebouncedSync)
            pendingDebouncedSync->stop();
        if (isSyncInFlight)
            hasQueuedSync = true;
        else
            startSyncCycle();
        return;
    }
    if (isSyncInFlight) {
        hasQueuedSync = true;
        return;
    }
    // Each event re-arms the timer, so a stream of events postpones the
    // cycle until it pauses for the debounce interval.
    if (!pendingDebouncedSync) {
        pendingDebouncedSync = std::make_unique<QTimer>();
        pendingDebouncedSync->setSingleShot(true);
        pendingDebouncedSync->setInterval(kSyncDebounceMilliseconds);
        QObject::connect(
            pendingDebouncedSync.get(), &QTimer::timeout, pendingDebouncedSync.get(), [this] { startSyncCycle(); });
    }
    pendingDebouncedSync->start();
}

void ProjectWatcher::Core::startSyncCycle()
{
    if (isSyncInFlight) {
        hasQueuedSync = true;
        return;
    }
    isSyncInFlight = true;
    syncFromDisk(generation, std::exchange(pendingSyncCompletions, {}));
}

void ProjectWatcher::Core::completeCycle(quint64 cycleGeneration, QList<Completion> completions)
{
    const bool current = cycleGeneration == generation;
    if (current)
        isSyncInFlight = false;
    for (const Completion &completion : std::as_const(completions))
        completion->finish();
    if (current && hasQueuedSync) {
        hasQueuedSync = false;
        startSyncCycle(); // at once, no debounce
    }
}

void ProjectWatcher::Core::syncFromDisk(quint64 cycleGeneration, QList<Completion> completions)
{
    if (!scopedURL) {
        completeCycle(cycleGeneration, std::move(completions));
        return;
    }
    const Result<QStringList> files = fileSystem.taskFiles(*scopedURL);
    if (!files) {
        // Nothing is known any better: keep it all, delete nothing.
        completeCycle(cycleGeneration, std::move(completions));
        return;
    }
    if (!appliedDigests)
        appliedDigests = readAppliedDigests(stateFile);
    const QDir rootFolder(*scopedURL);

    const QHash<QString, QUuid> previous = knownTasksByFilePath;
    QHash<QString, QUuid> next;
    QHash<QString, FileSignature> nextSignatures;
    QList<IncomingTask> changed;

    for (const QString &path : *files) {
        const std::optional<FileSignature> signature = signatureOf(path);
        if (signature)
            nextSignatures.insert(path, *signature);
        if (signature && previous.contains(path) && knownFileSignaturesByPath.contains(path)
            && knownFileSignaturesByPath.value(path) == *signature) {
            next.insert(path, previous.value(path));
            continue;
        }
        // Not a regular file, or over the size limit: a read failure, never a wait.
        const Result<QByteArray> bytes = fileSystem.readWorkspaceFile(path);
        Result<BL_Task> task
            = bytes ? BL_Task::fromBrimlockTaskJSON(*bytes, project.id, clock) : Result<BL_Task>(bytes.error());
        if (!task) {
            // Its task stays known, and the file is read again at every
            // cycle until it reads (said once until then).
            if (!unreadablePaths.contains(path)) {
                unreadablePaths.insert(path);
                qCWarning(lcStorage) << "task file skipped:" << path << task.errorMessage();
            }
            if (previous.contains(path))
                next.insert(path, previous.value(path));
            nextSignatures.remove(path);
            continue;
        }
        unreadablePaths.remove(path);
        IncomingTask incoming;
        incoming.stateKey = rootFolder.relativeFilePath(path);
        incoming.task = std::move(task).value();
        incoming.task.projectID = project.id; // whatever the file says
        incoming.digest = digestOf(*bytes);
        incoming.alreadyApplied = appliedDigests->value(incoming.stateKey) == incoming.digest;
        incoming.hasRecordedDigest = appliedDigests->contains(incoming.stateKey);
        incoming.carried = carriedFields(*bytes);
        next.insert(path, incoming.task.blID);
        changed.append(std::move(incoming));
    }

    QSet<QUuid> removedIDs;
    for (const QUuid &id : std::as_const(previous))
        removedIDs.insert(id);
    for (const QUuid &id : std::as_const(next))
        removedIDs.remove(id);

    // Files that are gone no longer need their digests.
    QSet<QString> listed;
    for (const QString &path : *files)
        listed.insert(rootFolder.relativeFilePath(path));
    QStringList forgotten;
    for (auto it = appliedDigests->constBegin(); it != appliedDigests->constEnd(); ++it) {
        if (!listed.contains(it.key()))
            forgotten.append(it.key());
    }

    knownTasksByFilePath = std::move(next);
    knownFileSignaturesByPath = std::move(nextSignatures);

    // Runs on this executor but gives it up while it waits, so folder events
    // keep arriving meanwhile; the cycle stays in flight until it completes.
    actor.spawn([&] {
        return storePhase(shared_from_this(), cycleGeneration, std::move(changed),
            QList<QUuid>(removedIDs.cbegin(), removedIDs.cend()), std::move(forgotten), std::move(completions));
    });
}

QCoro::Task<> ProjectWatcher::Core::storePhase(std::shared_ptr<Core> self, quint64 cycleGeneration,
    QList<IncomingTask> changed, QList<QUuid> removed, QStringList forgottenPaths, QList<Completion> completions)
{
    Core &core = *self;
    int count = 0;
    AppliedDigests applied;
    bool shutDown = false;

    try {
        for (const IncomingTask &incoming : changed) {
            const QUuid &id = incoming.task.blID;
            auto lookup = futureResult(core.database.fetchTask(id));
            const Result<std::optional<BL_Task>> fetched = co_await std::move(lookup);
            // A failed lookup: not stored.
            const std::optional<BL_Task> existing = fetched ? *fetched : std::nullopt;

            BL_Task written;
            BL_EventType type = BL_EventType::taskCreated;
            QString detail;
            if (!existing) {
                // New, or stored no longer (an empty in-memory store, a task
                // deleted on the board): the file brings it (back).
                written = incoming.task;
                detail = kDiscoveredDetail;
            } else if (incoming.alreadyApplied) {
                continue; // this content was applied before; the application has the task now
            } else {
                written = mergedTask(*existing, incoming);
                if (!ProjectWatcher::hasExternalTaskChanged(*existing, written)
                    || (!incoming.hasRecordedDigest && staleWithoutRecord(*existing, written))) {
                    applied.insert(incoming.stateKey, incoming.digest);
                    continue;
                }
                type = BL_EventType::taskModified;
                detail = kModifiedDetail;
            }
            const TimePoint now = core.clock.now();
            written.taskHistoryData = withHistoryEntry(written, type, detail, now);
            written.taskLastActivityDate = now;
            ++count;

            auto sent
                = futureResult(sendOnMainThread(core.mainThread, core.eventBus, type, core.project.id, id, detail));
            co_await std::move(sent);
            auto write = futureResult(core.database.upsertTask(written));
            const Result<void> stored = co_await std::move(write);
            if (stored)
                applied.insert(incoming.stateKey, incoming.digest); // else applied again next time
            else
                qCWarning(lcStorage) << "task file" << incoming.stateKey << "not stored:" << stored.errorMessage();
        }

        for (const QUuid &id : removed) {
            ++count;
            auto sent = futureResult(sendOnMainThread(
                core.mainThread, core.eventBus, BL_EventType::taskDeleted, core.project.id, id, kRemovedDetail));
            co_await std::move(sent);
            auto deletion = futureResult(core.database.deleteTask(id));
            const Result<void> deleted = co_await std::move(deletion);
            if (!deleted)
                qCWarning(lcStorage) << "task of a removed file not deleted:" << deleted.errorMessage();
        }
    } catch (const CancelledError &) {
        // The watcher shuts down (its events are no longer delivered) or the
        // store has gone: what was applied so far is still recorded.
        shutDown = true;
        qCDebug(lcStorage) << "store phase of" << core.project.id << "ended by shutdown";
    }

    core.recordAppliedFiles(cycleGeneration, applied, forgottenPaths);
    if (!shutDown && count > 0 && core.onTasksChanged)
        core.onTasksChanged(core.project.id);
    core.completeCycle(cycleGeneration, std::move(completions));
}

void ProjectWatcher::Core::recordAppliedFiles(
    quint64 cycleGeneration, const AppliedDigests &applied, const QStringList &forgotten)
{
    if (applied.isEmpty() && forgotten.isEmpty())
        return;
    // Read afresh: a watcher started again for this workspace may have
    // written in the meantime.
    AppliedDigests digests = readAppliedDigests(stateFile);
    for (const QString &path : forgotten)
        digests.remove(path);
    for (auto it = applied.constBegin(); it != applied.constEnd(); ++it)
        digests.insert(it.key(), it.value());
    writeAppliedDigests(stateFile, digests);
    if (cycleGeneration == generation)
        appliedDigests = std::move(digests);
}

ProjectWatcher::ProjectWatcher(BL_Workspace project, QByteArray bookmarkData, const FileSystemProtocol &fileSystem,
    DatabaseServiceProtocol &database, BLEventBus &eventBus, ChangeCallback onTasksChanged, QString stateDirectory,
    const Clock &clock)
{
    // The last reference to the core may go on the core's own thread, at the
    // end of a store phase. An executor cannot join its own thread, so the
    // core is then deleted on the main thread instead.
    const auto deleter = [](Core *core) {
        if (!core->actor.isCurrent()) {
            delete core;
            return;
        }
        if (QCoreApplication *application = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                application, [core] { delete core; }, Qt::QueuedConnection);
        // Without an application the process is ending; the core goes with it.
    };
    const QString stateFile = stateFilePath(stateDirectory, project.id);
    m_core = std::shared_ptr<Core>(new Core(std::move(project), std::move(bookmarkData), fileSystem, database, eventBus,
                                       std::move(onTasksChanged), stateFile, clock),
        deleter);
}

ProjectWatcher::~ProjectWatcher()
{
    stop();
}

void ProjectWatcher::start()
{
    if (m_started)
        return;
    m_started = true;
    const Result<FolderBookmark::Resolved> resolved = FolderBookmark::resolve(m_core->bookmarkData);
    if (!resolved || resolved->isStale) {
        stop();
        return;
    }
    m_core->actor.call([core = m_core, root = resolved->path] { core->beginWatching(root); });
}

void ProjectWatcher::stop()
{
    m_started = false;
    // On the executor, after whatever it is doing now: the reset never
    // races with a cycle.
    m_core->actor.call([core = m_core] { core->endWatching(); });
}

void ProjectWatcher::shutdown()
{
    m_started = false;
    // Events the store phase still waits for are dropped, so it ends (and
    // records what it applied) while this thread waits for it.
    m_core->mainThread.close();
    m_core->actor.call([core = m_core] { core->endWatching(); }).waitForFinished();
    m_core->actor.shutdown();
}

QFuture<void> ProjectWatcher::scheduleSync(bool immediate)
{
    auto completion = std::make_shared<QPromise<void>>();
    QFuture<void> served = completion->future();
    completion->start();
    m_core->actor.call(
        [core = m_core, immediate, completion]() mutable { core->scheduleSync(immediate, std::move(completion)); });
    return served;
}

const BL_Workspace &ProjectWatcher::project() const
{
    return m_core->project;
}

QString ProjectWatcher::stateFilePath(const QString &stateDirectory, const QUuid &projectID)
{
    return QDir(stateDirectory).filePath(QStringLiteral("project-watchers/%1.json").arg(UuidText::lower(projectID)));
}

bool ProjectWatcher::hasExternalTaskChanged(const BL_Task &existing, const BL_Task &incoming)
{
    return existing.status != incoming.status || existing.inputData != incoming.inputData
        || existing.outputData != incoming.outputData || existing.metadata != incoming.metadata
        || existing.extraMetadata != incoming.extraMetadata || existing.updatedAt != incoming.updatedAt;
}
