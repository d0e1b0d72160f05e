#pragma once

#include "common/Result.h"
#include "model/BL_Workspace.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

// What detection found in a workspace folder.
struct BrimlockProjectDetection
{
    std::optional<QString> configURL; // absolute path of the config file; absent when none was found
    bool hasBrimlockDirectory = false; // an entry ".brimlock" exists in the root (a plain file counts too)

    friend bool operator==(const BrimlockProjectDetection &, const BrimlockProjectDetection &) = default;
};

// What a task-file watcher needs of the folder layout; a seam for tests.
class FileSystemProtocol
{
public:
    virtual ~FileSystemProtocol() = default;
    virtual Result<QStringList> taskFiles(const QString &rootPath) const = 0;
    virtual QString watchDirectoryURL(const QString &rootPath) const = 0;
    virtual Result<QByteArray> readWorkspaceFile(const QString &path) const = 0;
};

// The one component that knows a workspace folder's layout:
//   .brimlock/              the workspace's own folder
//   .brimlock/tasks/        task files (JSON, one task each); preferred
//   tasks/                  task files while .brimlock/tasks/ does not exist
//   brimlock.json           the config file, as written
//   .brimlock/brimlock.json accepted by detection when the root holds none
// Holds no state; every operation is synchronous and safe on any thread.
// Paths are absolute local paths.
class LocalFileSystemService final : public FileSystemProtocol
{
public:
    // Task and config files larger than this are refused when read.
    static constexpr qint64 kMaximumWorkspaceFileSize = 16 * 1024 * 1024;

    // Creates .brimlock/tasks/ and writes brimlock.json (name and the agent
    // count raised to at least 0) atomically at the root, replacing an
    // earlier one; task files stay. The first failing step's error is
    // returned, and folders created before it stay.
    Result<BL_WorkspaceConfig> initializeProject(const QString &rootPath, const QString &name, qint64 agentCount) const;

    // Finds the config file: brimlock.json at the root, else inside
    // .brimlock; a name differing only in letter case counts and is renamed
    // to "brimlock.json" when that name is free. Never fails.
    BrimlockProjectDetection detectProject(const QString &rootPath) const;

    // The task files of the task folder, in name order: entries that are not
    // hidden and whose extension is "json" in any letter case. A missing task
    // folder gives an empty list; one that cannot be listed is an error.
    Result<QStringList> taskFiles(const QString &rootPath) const override;

    // The folder a task-file watcher observes: the first existing of
    // .brimlock/tasks, tasks and .brimlock, else the root.
    QString watchDirectoryURL(const QString &rootPath) const override;

    // Reads a task file or the config file whole. Anything that is not a
    // regular file (a folder, a FIFO, a device) or is larger than
    // kMaximumWorkspaceFileSize is a read failure; nothing ever waits on it.
    Result<QByteArray> readWorkspaceFile(const QString &path) const override;

    // The config file in `folder`: "brimlock.json" exactly, else the first
    // non-hidden entry whose name equals it ignoring letter case.
    std::optional<QString> resolveConfigURL(const QString &folder) const;
    // Moves a config file found under another letter case to
    // `folder`/brimlock.json when nothing is there yet; a failed move is
    // ignored. Tells whether the file now lies at the canonical name.
    bool normalizeConfigFilenameIfNeeded(const QString &configPath, const QString &folder) const;
};
