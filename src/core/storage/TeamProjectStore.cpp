#include "TeamProjectStore.h"
#include "common/Logging.h"
#include "storage/WriteTransaction.h"

#include "storage/RegularFile.h"

#include "common/Json.h"
#include "common/UuidText.h"
#include "storage/AppDatabase.h"
#include "storage/SQLiteErrors.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSaveFile>
#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include <string>

using Snapshot = TeamProjectStore::Snapshot;

namespace {

const QString kUnreadablePrefix = QStringLiteral("team-projects.unreadable-");
const QString kUnreadableExtension = QStringLiteral(".json");

const QString kOrganizations = QStringLiteral("organizations");
const QString kTeams = QStringLiteral("teams");
const QString kUsers = QStringLiteral("users");
const QString kMainNodes = QStringLiteral("mainNodes");
const QString kInvites = QStringLiteral("invites");
const QString kTeamToProjectIDs = QStringLiteral("teamToProjectIDs");
const QString kProjectToTeamIDs = QStringLiteral("projectToTeamIDs");
const QString kOrgToTeamIDs = QStringLiteral("orgToTeamIDs");
const QString kTeamToOrgID = QStringLiteral("teamToOrgID");
const QString kOrgToProjectIDs = QStringLiteral("orgToProjectIDs");
const QString kProjectToOrgID = QStringLiteral("projectToOrgID");
const QString kUserToOrgIDs = QStringLiteral("userToOrgIDs");
const QString kOrgToUserIDs = QStringLiteral("orgToUserIDs");
const QString kUserToTeamIDs = QStringLiteral("userToTeamIDs");
const QString kTeamToUserIDs = QStringLiteral("teamToUserIDs");
const QString kMembershipRoles = QStringLiteral("membershipRoles");
const QString kProjectOwnerByProjectID = QStringLiteral("projectOwnerByProjectID");

// ---- Snapshot JSON ---------------------------------------------------------

template<typename Record> QJsonArray recordsToJson(const QList<Record> &records)
{
    QJsonArray array;
    for (const Record &record : records)
        array.append(record.toJson());
    return array;
}

QJsonObject listsToJson(const TeamProjectStore::UuidLists &map)
{
    QJsonObject object;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        QJsonArray list;
        for (const QUuid &uuid : it.value())
            list.append(UuidText::upper(uuid));
        object.insert(it.key(), list);
    }
    return object;
}

QJsonObject valuesToJson(const TeamProjectStore::UuidValues &map)
{
    QJsonObject object;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        object.insert(it.key(), UuidText::upper(it.value()));
    return object;
}

// Reads the snapshot's keys; the first problem is kept and ends the read.
class SnapshotReader
{
public:
    explicit SnapshotReader(const QJsonObject &object) : m_object(object) { }

    bool ok() const { return m_error.isEmpty(); }
    const QString &error() const { return m_error; }
    int skippedRecords() const { return m_skippedRecords; }

    // A record that does not read is left out (and counted): one damaged
    // record must not cost the rest of the graph.
    template<typename Record> QList<Record> records(const QString &key)
    {
        QList<Record> list;
        const QJsonArray array = required(key, QJsonValue::Array).toArray();
        for (qsizetype i = 0; ok() && i < array.size(); ++i) {
            Result<Record> record = Record::fromJson(array.at(i));
            if (!record)
                ++m_skippedRecords;
            else
                list.append(std::move(record).value());
        }
        return list;
    }

    TeamProjectStore::UuidLists lists(const QString &key)
    {
        TeamProjectStore::UuidLists map;
        const QJsonObject object = required(key, QJsonValue::Object).toObject();
        for (auto it = object.constBegin(); ok() && it != object.constEnd(); ++it) {
            if (!it.value().isArray()) {
                fail(QStringLiteral("\"%1\" of \"%2\" is not a list").arg(it.key(), key));
                break;
            }
            QList<QUuid> list;
            for (const QJsonValue &entry : it.value().toArray()) {
                const std::optional<QUuid> uuid = uuidOf(entry);
                if (!uuid) {
                    fail(QStringLiteral("a list entry of \"%1\" in \"%2\" is not a UUID").arg(it.key(), key));
                    break;
                }
                list.append(*uuid);
            }
            map.insert(it.key(), list);
        }
        return map;
    }

    TeamProjectStore::UuidValues values(const QString &key)
    {
        TeamProjectStore::UuidValues map;
        const QJsonObject object = required(key, QJsonValue::Object).toObject();
        for (auto it = object.constBegin(); ok() && it != object.constEnd(); ++it) {
            const std::optional<QUuid> uuid = uuidOf(it.value());
            if (!uuid)
                fail(QStringLiteral("the value of \"%1\" in \"%2\" is not a UUID").arg(it.key(), key));
            else
                map.insert(it.key(), *uuid);
        }
        return map;
    }

    QMap<QString, BL_TeamMembershipRole> roles(const QString &key)
    {
        QMap<QString, BL_TeamMembershipRole> map;
        const QJsonObject object = required(key, QJsonValue::Object).toObject();
        for (auto it = object.constBegin(); ok() && it != object.constEnd(); ++it) {
            const std::optional<BL_TeamMembershipRole> role
                = it.value().isString() ? teamMembershipRoleFromRaw(it.value().toString()) : std::nullopt;
            if (!role)
                fail(QStringLiteral("the value of \"%1\" in \"%2\" is not a role").arg(it.key(), key));
            else
                map.insert(it.key(), *role);
        }
        return map;
    }

private:
    static std::optional<QUuid> uuidOf(const QJsonValue &value)
    {
        return value.isString() ? UuidText::parse(value.toString()) : std::nullopt;
    }

    QJsonValue required(const QString &key, QJsonValue::Type type)
    {
        if (!ok())
            return QJsonValue();
        const QJsonValue value = m_object.value(key);
        if (value.isUndefined() || value.isNull()) {
            fail(QStringLiteral("the key \"%1\" is missing").arg(key));
            return QJsonValue();
        }
        if (value.type() != type) {
            fail(QStringLiteral("\"%1\" has the wrong type").arg(key));
            return QJsonValue();
        }
        return value;
    }

    void fail(const QString &message)
    {
        if (ok())
            m_error = message;
    }

    const QJsonObject &m_object;
    QString m_error;
    int m_skippedRecords = 0;
};

std::optional<QByteArray> readWholeFile(const QString &path)
{
    auto bytes = RegularFile::read(path);
    if (!bytes)
        return std::nullopt;
    return std::move(bytes).value();
}

std::string tableStatement(const char *prefix, const char *suffix = "")
{
    return std::string(prefix) + TeamProjectStore::kSnapshotTableName + suffix;
}

} // namespace

QJsonObject Snapshot::toJson() const
{
    QJsonObject object;
    object.insert(kOrganizations, recordsToJson(organizations));
    object.insert(kTeams, recordsToJson(teams));
    object.insert(kUsers, recordsToJson(users));
    object.insert(kMainNodes, recordsToJson(mainNodes));
    object.insert(kInvites, recordsToJson(invites));
    object.insert(kTeamToProjectIDs, listsToJson(teamToProjectIDs));
    object.insert(kProjectToTeamIDs, listsToJson(projectToTeamIDs));
    object.insert(kOrgToTeamIDs, listsToJson(orgToTeamIDs));
    object.insert(kTeamToOrgID, valuesToJson(teamToOrgID));
    object.insert(kOrgToProjectIDs, listsToJson(orgToProjectIDs));
    object.insert(kProjectToOrgID, valuesToJson(projectToOrgID));
    object.insert(kUserToOrgIDs, listsToJson(userToOrgIDs));
    object.insert(kOrgToUserIDs, listsToJson(orgToUserIDs));
    object.insert(kUserToTeamIDs, listsToJson(userToTeamIDs));
    object.insert(kTeamToUserIDs, listsToJson(teamToUserIDs));
    QJsonObject roles;
    for (auto it = membershipRoles.cbegin(); it != membershipRoles.cend(); ++it)
        roles.insert(it.key(), rawValue(it.value()));
    object.insert(kMembershipRoles, roles);
    object.insert(kProjectOwnerByProjectID, valuesToJson(projectOwnerByProjectID));
    return object;
}

Result<Snapshot> Snapshot::fromJson(const QByteArray &payload, int *skippedRecords)
{
    QString parseError;
    const std::optional<QJsonObject> object = Json::parseObject(payload, &parseError);
    if (!object)
        return Error::make(QStringLiteral("The team snapshot is not a JSON object: ") + parseError);
    SnapshotReader reader(*object);
    Snapshot snapshot;
    snapshot.organizations = reader.records<BL_Organization>(kOrganizations);
    snapshot.teams = reader.records<BL_Team>(kTeams);
    snapshot.users = reader.records<BL_User>(kUsers);
    snapshot.mainNodes = reader.records<BL_MainNode>(kMainNodes);
    snapshot.invites = reader.records<BL_Invite>(kInvites);
    snapshot.teamToProjectIDs = reader.lists(kTeamToProjectIDs);
    snapshot.projectToTeamIDs = reader.lists(kProjectToTeamIDs);
    snapshot.orgToTeamIDs = reader.lists(kOrgToTeamIDs);
    snapshot.teamToOrgID = reader.values(kTeamToOrgID);
    snapshot.orgToProjectIDs = reader.lists(kOrgToProjectIDs);
    snapshot.projectToOrgID = reader.values(kProjectToOrgID);
    snapshot.userToOrgIDs = reader.lists(kUserToOrgIDs);
    snapshot.orgToUserIDs = reader.lists(kOrgToUserIDs);
    snapshot.userToTeamIDs = reader.lists(kUserToTeamIDs);
    snapshot.teamToUserIDs = reader.lists(kTeamToUserIDs);
    snapshot.membershipRoles = reader.roles(kMembershipRoles);
    snapshot.projectOwnerByProjectID = reader.values(kProjectOwnerByProjectID);
    if (!reader.ok())
        return Error::make(QStringLiteral("The team snapshot is unreadable: ") + reader.error());
    if (skippedRecords)
        *skippedRecords = reader.skippedRecords();
    return snapshot;
}

// ---- The store ---------------------------------------------------------------

TeamProjectStore::TeamProjectStore(const QString &storageDirectory, const Clock &clock)
    : m_clock(clock), m_storageDirectory(storageDirectory)
{
    const QDir directory(storageDirectory);
    m_legacyStorageFilePath = directory.filePath(QLatin1String(kLegacyFileName));
    m_databaseFilePath = directory.filePath(QLatin1String(kDatabaseFileName));

    if (!storageDirectory.isEmpty() && QDir().mkpath(storageDirectory)) {
        try {
            auto database = std::make_unique<SQLite::Database>(
                m_databaseFilePath.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
            database->exec("PRAGMA foreign_keys = ON");
            if (AppDatabase::migrator(m_clock).migrate(*database))
                m_database = std::move(database);
        } catch (const std::exception &) {
            // In memory only for this run.
        }
    }
    if (m_database) {
        try {
            ensureSnapshotTable();
        } catch (const std::exception &) {
            return; // the connection stays; the legacy import waits for a later run
        }
    }
    migrateLegacyJSONIfNeeded();
}

TeamProjectStore::~TeamProjectStore() = default;

void TeamProjectStore::ensureSnapshotTable()
{
    inWriteTransaction(*m_database, [&] {
        m_database->exec(tableStatement("CREATE TABLE IF NOT EXISTS ",
            " (\n    id INTEGER PRIMARY KEY,\n    payload BLOB NOT NULL,\n    updated_at DATETIME NOT NULL\n)"));
    });
}

Result<void> TeamProjectStore::migrateLegacyJSONIfNeeded()
{
    if (!m_database)
        return Result<void>::success();
    try {
        SQLite::Statement count(*m_database, tableStatement("SELECT COUNT(1) FROM ", " WHERE id = ?"));
        count.bind(1, static_cast<int64_t>(kSingletonSnapshotID));
        if (count.executeStep() && count.getColumn(0).getInt64() > 0)
            return Result<void>::success();
    } catch (const std::exception &exception) {
        return SQLiteErrors::fromException(exception, QStringLiteral("Could not look for the team snapshot"));
    }

    const std::optional<QByteArray> legacy = readWholeFile(m_legacyStorageFilePath);
    if (!legacy)
        return Result<void>::success();
    int skipped = 0;
    const Result<Snapshot> snapshot = Snapshot::fromJson(*legacy, &skipped);
    if (!snapshot || skipped > 0)
        return Result<void>::success(); // only a whole legacy file is taken over
    // The stored payload is the store's own encoding, not the file's bytes.
    const QByteArray payload = Json::write(snapshot->toJson());

    try {
        inWriteTransaction(*m_database, [&] {
            SQLite::Statement insert(
                *m_database, tableStatement("INSERT INTO ", " (id, payload, updated_at)\nVALUES (?, ?, ?)"));
            insert.bind(1, static_cast<int64_t>(kSingletonSnapshotID));
            insert.bind(2, static_cast<const void *>(payload.constData()), static_cast<int>(payload.size()));
            insert.bind(3, m_clock.now().toDatabaseText().toStdString());
            insert.exec();
        });
    } catch (const std::exception &exception) {
        return SQLiteErrors::fromException(exception, QStringLiteral("Could not import the legacy team snapshot"));
    }
    return Result<void>::success();
}

std::optional<QByteArray> TeamProjectStore::readStoredPayload()
{
    SQLite::Statement select(*m_database, tableStatement("SELECT payload FROM ", " WHERE id = ?"));
    select.bind(1, static_cast<int64_t>(kSingletonSnapshotID));
    if (!select.executeStep())
        return std::nullopt;
    const SQLite::Column column = select.getColumn(0);
    const char *data = static_cast<const char *>(column.getBlob());
    return QByteArray(data, column.getBytes());
}

Snapshot TeamProjectStore::loadSnapshot()
{
    if (m_cachedSnapshot)
        return *m_cachedSnapshot;
    Snapshot snapshot;
    if (m_database) {
        try {
            if (const std::optional<QByteArray> payload = readStoredPayload()) {
                int skipped = 0;
                Result<Snapshot> decoded = Snapshot::fromJson(*payload, &skipped);
                if (decoded)
                    snapshot = std::move(decoded).value();
                // Records left out are kept aside with the row's bytes before
                // the next write replaces it.
                if (!decoded || skipped > 0)
                    m_storedRowUnusable = true;
            }
        } catch (const std::exception &) {
            m_storedRowUnusable = true;
        }
    }
    m_cachedSnapshot = snapshot;
    return snapshot;
}

// Keeps the stored row's bytes beside the database before a write replaces
// them, once per distinct content. False when they could not be kept (or not
// even read), and then the row must not be replaced.
bool TeamProjectStore::keepUnreadablePayload()
{
    std::optional<QByteArray> bytes;
    try {
        bytes = readStoredPayload();
    } catch (const std::exception &) {
        return false;
    }
    if (!bytes)
        return true;

    return RegularFile::keepCopyOnce(
        m_storageDirectory, kUnreadablePrefix, kUnreadableExtension, *bytes, m_clock.now().toDateTime());
}

void TeamProjectStore::persist(const Snapshot &snapshot)
{
    m_cachedSnapshot = snapshot; // first, so the run sees the change even when the write fails
    if (!m_database)
        return;
    if (m_storedRowUnusable && !keepUnreadablePayload())
        return;
    const QByteArray payload = Json::write(snapshot.toJson());
    try {
        inWriteTransaction(*m_database, [&] {
            SQLite::Statement upsert(*m_database,
                tableStatement("INSERT INTO ",
                    " (id, payload, updated_at)\nVALUES (?, ?, ?)\nON CONFLICT(id) DO UPDATE SET\n"
                    "    payload = excluded.payload,\n    updated_at = excluded.updated_at"));
            upsert.bind(1, static_cast<int64_t>(kSingletonSnapshotID));
            upsert.bind(2, static_cast<const void *>(payload.constData()), static_cast<int>(payload.size()));
            upsert.bind(3, m_clock.now().toDatabaseText().toStdString());
            upsert.exec();
        });
        m_storedRowUnusable = false;
    } catch (const std::exception &exception) {
        // The cache holds the change; the file keeps its previous row.
        qCWarning(lcStorage) << "the team snapshot was not stored (kept for this session only):" << exception.what();
    }
}
