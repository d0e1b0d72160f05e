#pragma once

#include "common/TimePoint.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUuid>
#include <optional>

class SettingsStore;

// Remembers every imported workspace folder in "imported-projects.json" in
// the data directory, so the workspaces come back at the next launch. Holds
// nothing in memory: every operation reads the file again, repairs it when it
// finds two records of one workspace, and writes it atomically. Failures are
// swallowed; a file that cannot be read or is no JSON array reads as an empty
// list, and a record that does not decode is skipped, the others are kept.
// Either is said once in a warning.
//
// A file that does not decode in full is never lost: before the next write
// replaces it, its bytes are kept once beside it as
// "imported-projects.json.unreadable-<UTC time>", and the records it skipped
// as a JSON array in "imported-projects.json.skipped-<UTC time>".
//
// Used on the main thread only.
class ProjectBookmarkStore
{
public:
    struct ImportedProjectRecord
    {
        QUuid projectID;
        QString projectName;
        QString rootPath; // normalised; empty for records imported from the settings
        qint64 agentCount = 0;
        QByteArray bookmarkData; // opaque to the store
        TimePoint createdAt;
        TimePoint updatedAt;

        bool operator==(const ImportedProjectRecord &) const = default;
    };

    static constexpr const char *kFileName = "imported-projects.json";
    static constexpr const char *kStorageKey = "tessaron.projectBookmarks.v1";
    static constexpr const char *kLegacyStorageKey = "brimlock.projectBookmarks.v1";

    // `storageDirectory` is the application data directory (created on the
    // first write). Brings in the bookmarks kept in the settings under
    // kStorageKey or kLegacyStorageKey while the file does not exist yet:
    // a dictionary from project ID text to the bookmark data as Base64 text.
    ProjectBookmarkStore(
        SettingsStore &defaults, const QString &storageDirectory, const Clock &clock = Clock::system());
    ProjectBookmarkStore(const ProjectBookmarkStore &) = delete;
    ProjectBookmarkStore &operator=(const ProjectBookmarkStore &) = delete;

    QString storageDirectory() const { return m_storageDirectory; }
    QString storageFilePath() const { return m_storageFilePath; }

    // The stored list, de-duplicated by project ID and by folder and sorted
    // by creation (records created at the same moment keep their order); the
    // file is rewritten when that changed anything.
    QList<ImportedProjectRecord> loadRecords();

    // Updates the record of the project, else the record of the same folder
    // (which keeps its own project ID), else appends a new one.
    void save(const QByteArray &bookmarkData, const QUuid &projectID, const QString &projectName,
        const QString &rootPath, qint64 agentCount);

    // The project ID of the first record for this folder. An argument that is
    // empty after trimming matches a record without a root path.
    std::optional<QUuid> importedProjectID(const QString &rootPath);

    std::optional<QByteArray> bookmark(const QUuid &projectID);

    // Removes every record of the project; writes the file even when there
    // was none.
    void deleteRecord(const QUuid &projectID);

private:
    void persist(const QList<ImportedProjectRecord> &records);
    bool keepUndecodableFile();
    void reportUnreadable(const QByteArray &bytes, const QString &message);
    void migrateLegacyDefaultsIfNeeded();

    static QList<ImportedProjectRecord> deduplicate(const QList<ImportedProjectRecord> &records);
    static ImportedProjectRecord merge(const ImportedProjectRecord &existing, const ImportedProjectRecord &incoming);
    static ImportedProjectRecord mergeKeepingProjectID(
        const ImportedProjectRecord &keeper, const ImportedProjectRecord &other);
    static QString normalizedPath(const QString &path);

    SettingsStore &m_defaults;
    const Clock &m_clock;
    QString m_storageDirectory;
    QString m_storageFilePath;
    QByteArray m_reportedContent; // the file content last warned about
};
