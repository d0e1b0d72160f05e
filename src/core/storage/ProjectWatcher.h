#pragma once

#include "common/TimePoint.h"
#include "model/BL_Task.h"
#include "model/BL_Workspace.h"

#include <QByteArray>
#include <QFuture>
#include <QString>
#include <QUuid>
#include <functional>
#include <memory>

class BLEventBus;
class DatabaseServiceProtocol;
class FileSystemProtocol;

// Mirrors a workspace's task files into the task store: a new file becomes a
// stored task, a changed file updates its task, a vanished file deletes the
// task it produced, and each step is announced on the event bus first
// ("taskCreated", "taskModified", "taskDeleted"), sent on the main thread
// before the matching store write. After a sync cycle that changed anything
// it calls the change callback with the workspace id.
//
// Threads: construction, start() and stop() belong to the main thread. The
// watcher's own work runs on its serial executor "tessaron.project-watcher."
// + the workspace UUID in upper case: folder events (inotify), a trailing
// debounce of 0.35 s, one sync cycle at a time, and the store phase, which
// gives the executor up while it waits for the store or the main thread.
//
// Each sync cycle reads only the files whose modification time or size
// changed. It remembers, in a small state file of its own, the content digest
// of every file it last applied (by its path inside the workspace), so a file
// whose content it has already applied is not applied again, not even after
// a restart or a move of the workspace folder: a task the
// application has moved on since (run, completed, talked to) keeps its state
// while its file stays as it was. Where no digest is recorded for a file (the
// state file lost), a file that differs from its stored task only in its
// updated date, or is not newer than the stored task, is taken as applied. A
// file that did change is merged into the
// stored task, and the fields a task file does not carry (worker state,
// history, conversation, delegation state, session key, output and the
// metadata member "git_diff_artifact") keep their stored values.
class ProjectWatcher final
{
public:
    // Called after a cycle that created, updated or removed a stored task, on
    // the watcher's own thread (never the main thread): the receiver moves to
    // its own thread itself.
    using ChangeCallback = std::function<void(const QUuid &projectID)>;

    // What a file looked like at the last sync.
    struct FileSignature
    {
        double modifiedAt = 0; // content-modification time, seconds since 1970
        qint64 size = 0;

        friend bool operator==(const FileSignature &, const FileSignature &) = default;
    };

    static constexpr int kSyncDebounceMilliseconds = 350;

    // `fileSystem`, `database` and `eventBus` are shared and must outlive the
    // watcher and a store phase that goes on after stop() (the application
    // state keeps all three for the life of the process). `stateDirectory` is
    // the application data directory; the watcher keeps its state file at
    // "project-watchers/<workspace uuid>.json" inside it.
    ProjectWatcher(BL_Workspace project, QByteArray bookmarkData, const FileSystemProtocol &fileSystem,
        DatabaseServiceProtocol &database, BLEventBus &eventBus, ChangeCallback onTasksChanged, QString stateDirectory,
        const Clock &clock = Clock::system());
    // Runs stop(). Returns at once; a store phase under way finishes on its
    // own afterwards.
    ~ProjectWatcher();
    ProjectWatcher(const ProjectWatcher &) = delete;
    ProjectWatcher &operator=(const ProjectWatcher &) = delete;

    // Begins watching: resolves the bookmark, observes the task folder (the
    // first existing of .brimlock/tasks, tasks, .brimlock, else the root) and
    // runs the first cycle at once. A bookmark that cannot be resolved or is
    // stale leaves the watcher stopped; a folder that cannot be observed
    // leaves it without cycles. Nothing is reported either way. Does nothing
    // while started.
    void start();
    // Ends watching and forgets what the cycles learnt (not the state file).
    // Never waits: a store phase under way goes on to its end (events,
    // writes, change callback) and no further cycle follows.
    void stop();
    // The final stop, when the application state goes: like stop(), but a
    // store phase under way ends at its next event (the events left are not
    // sent, their tasks not written), records the files it applied in the
    // state file, and has ended when this returns. The watcher cannot start
    // again.
    void shutdown();

    // Asks for a cycle now or after the debounce; the future finishes after
    // the cycle that serves the request, and is cancelled when stop() drops
    // the request before a cycle took it. Callable from any thread.
    QFuture<void> scheduleSync(bool immediate);

    const BL_Workspace &project() const;
    // The state file of this workspace inside `stateDirectory`.
    static QString stateFilePath(const QString &stateDirectory, const QUuid &projectID);

    // Whether a task read from a file differs from the stored one in a field
    // the file is the authority on: status, input, output, metadata, extra
    // metadata or the updated date.
    static bool hasExternalTaskChanged(const BL_Task &existing, const BL_Task &incoming);

private:
    struct Core; // what the executor works on; outlives the watcher while a store phase runs
    std::shared_ptr<Core> m_core;
    bool m_started = false; // main thread
};
