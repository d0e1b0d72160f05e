#include "ProjectBookmarkStore.h"

#include "storage/RegularFile.h"

#include "common/Json.h"
#include "common/JsonRecord.h"
#include "common/Text.h"
#include "common/UuidText.h"
#include "platform/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QLoggingCategory>
#include <QSaveFile>
#include <algorithm>
#include <utility>

using Record = ProjectBookmarkStore::ImportedProjectRecord;

namespace {

Q_LOGGING_CATEGORY(lcBookmarks, "tessaron.bookmarks")

const QString kUnreadableSuffix = QStringLiteral(".unreadable-");
const QString kSkippedSuffix = QStringLiteral(".skipped-");
const QString kImportedName = QStringLiteral("Imported Workspace");

// Paths are equal when their texts are canonically equivalent, so a
// precomposed accented letter matches its decomposed spelling.
QString pathKey(const QString &path)
{
    return path.normalized(QString::NormalizationForm_C);
}

bool samePath(const QString &a, const QString &b)
{
    return a == b || pathKey(a) == pathKey(b);
}

// The keeper of two records of one folder: the older one; on equal creation
// the upper-case project ID text decides.
bool keepsFolderOver(const Record &a, const Record &b)
{
    if (a.createdAt != b.createdAt)
        return a.createdAt < b.createdAt;
    return UuidText::upper(a.projectID) < UuidText::upper(b.projectID);
}

// The order of the list: oldest first. Records of equal creation keep their
// order in the file, so the workspace the user had first stays first.
bool createdBefore(const Record &a, const Record &b)
{
    return a.createdAt < b.createdAt;
}

QJsonObject encode(const Record &record)
{
    JsonRecordWriter writer;
    writer.putUuid(QStringLiteral("projectID"), record.projectID);
    writer.put(QStringLiteral("projectName"), record.projectName);
    writer.put(QStringLiteral("rootPath"), record.rootPath);
    writer.put(QStringLiteral("agentCount"), record.agentCount);
    writer.putBytes(QStringLiteral("bookmarkData"), record.bookmarkData);
    writer.putDate(QStringLiteral("createdAt"), record.createdAt);
    writer.putDate(QStringLiteral("updatedAt"), record.updatedAt);
    return writer.result();
}

// What a bookmark file holds, read record by record.
struct DecodedFile
{
    QList<Record> records; // every element that is a complete record, in file order
    QJsonArray skipped; // the other elements, as found
    QStringList skippedNotes; // why each of those was skipped
    qsizetype elementCount = 0;
};

// A short reminder of which workspace a skipped element was, as far as it says.
QString identify(const QJsonValue &element, qsizetype position)
{
    QString text = QStringLiteral("record %1").arg(position + 1);
    const QJsonObject object = element.toObject();
    QStringList known;
    for (const char *key : {"projectID", "projectName", "rootPath"}) {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isString() && !value.toString().isEmpty())
            known.append(QStringLiteral("%1 \"%2\"").arg(QLatin1String(key), value.toString().left(200)));
    }
    if (!known.isEmpty())
        text += QStringLiteral(" (") + known.join(QStringLiteral(", ")) + u')';
    return text;
}

// Nothing when the bytes are not a JSON array at all (`error` says why);
// otherwise every element that decodes, with the others set apart.
std::optional<DecodedFile> decode(const QByteArray &bytes, QString *error = nullptr)
{
    const std::optional<QJsonArray> array = Json::parseArray(bytes, error);
    if (!array)
        return std::nullopt;
    DecodedFile decoded;
    decoded.elementCount = array->size();
    decoded.records.reserve(array->size());
    for (qsizetype i = 0; i < array->size(); ++i) {
        const QJsonValue element = array->at(i);
        const auto skip = [&](const QString &why) {
            decoded.skipped.append(element);
            decoded.skippedNotes.append(identify(element, i) + QStringLiteral(": ") + why);
        };
        if (!element.isObject()) {
            skip(QStringLiteral("not a JSON object"));
            continue;
        }
        JsonRecordReader reader(element.toObject());
        Record record;
        record.projectID = reader.uuid(QStringLiteral("projectID"));
        record.projectName = reader.string(QStringLiteral("projectName"));
        record.rootPath = reader.string(QStringLiteral("rootPath"));
        record.agentCount = reader.integer(QStringLiteral("agentCount"));
        record.bookmarkData = reader.bytes(QStringLiteral("bookmarkData"));
        record.createdAt = reader.date(QStringLiteral("createdAt"));
        record.updatedAt = reader.date(QStringLiteral("updatedAt"));
        if (!reader.ok()) {
            skip(reader.error());
            continue;
        }
        decoded.records.append(std::move(record));
    }
    return decoded;
}

// Project ID text to bookmark data; nothing when the value is missing, is no
// dictionary, or holds an entry whose value is not Base64 text.
std::optional<QList<std::pair<QString, QByteArray>>> bookmarkDictionary(
    const SettingsStore &settings, const QString &key)
{
    const std::optional<QJsonObject> object = settings.object(key);
    if (!object)
        return std::nullopt;
    QList<std::pair<QString, QByteArray>> entries;
    for (auto it = object->constBegin(); it != object->constEnd(); ++it) {
        if (!it.value().isString())
            return std::nullopt;
        const std::optional<QByteArray> data = Json::fromBase64(it.value().toString());
        if (!data)
            return std::nullopt;
        entries.append({it.key(), *data});
    }
    return entries;
}

// Something is at the path (after following links), whether or not it reads.
bool entryExists(const QString &path)
{
    return QFileInfo::exists(path);
}

} // namespace

ProjectBookmarkStore::ProjectBookmarkStore(SettingsStore &defaults, const QString &storageDirectory, const Clock &clock)
    : m_defaults(defaults),
      m_clock(clock),
      m_storageDirectory(storageDirectory),
      m_storageFilePath(
          storageDirectory.isEmpty() ? QString() : QDir(storageDirectory).filePath(QLatin1String(kFileName)))
{
    migrateLegacyDefaultsIfNeeded();
}

QList<Record> ProjectBookmarkStore::loadRecords()
{
    if (m_storageFilePath.isEmpty())
        return {};
    const auto read = RegularFile::read(m_storageFilePath);
    if (!read) {
        if (entryExists(m_storageFilePath))
            reportUnreadable(read.errorMessage().toUtf8(),
                QStringLiteral("No workspace is read from \"%1\": %2 It is left as it is and not "
                               "written over until it reads again.")
                    .arg(m_storageFilePath, read.errorMessage()));
        return {};
    }
    const std::optional<QByteArray> bytes = read.value();
    QString error;
    const std::optional<DecodedFile> decoded = decode(*bytes, &error);
    if (!decoded) {
        reportUnreadable(*bytes,
            QStringLiteral("\"%1\" is not a list of workspace records (%2); no workspace is "
                           "read from it. It is kept beside itself as \"%3*\" before it is "
                           "next written.")
                .arg(m_storageFilePath, error, QLatin1String(kFileName) + kUnreadableSuffix));
        return {}; // left as it is until the next write
    }
    if (!decoded->skipped.isEmpty()) {
        // One damaged record costs its own workspace, not every other one.
        reportUnreadable(*bytes,
            QStringLiteral("Skipped %1 of %2 workspace records in \"%3\": %4. The other workspaces are kept; "
                           "before the file is next written it is kept beside itself as \"%5*\" and the skipped "
                           "records as \"%6*\".")
                .arg(decoded->skipped.size())
                .arg(decoded->elementCount)
                .arg(m_storageFilePath, decoded->skippedNotes.join(QStringLiteral("; ")),
                    QLatin1String(kFileName) + kUnreadableSuffix, QLatin1String(kFileName) + kSkippedSuffix));
    }
    QList<Record> records = deduplicate(decoded->records);
    if (records != decoded->records)
        persist(records);
    return records;
}

void ProjectBookmarkStore::save(const QByteArray &bookmarkData, const QUuid &projectID, const QString &projectName,
    const QString &rootPath, qint64 agentCount)
{
    QList<Record> records = loadRecords();
    const TimePoint now = m_clock.now();
    const QString path = normalizedPath(rootPath);

    auto found = std::find_if(
        records.begin(), records.end(), [&](const Record &record) { return record.projectID == projectID; });
    if (found == records.end() && !path.isEmpty()) {
        found = std::find_if(records.begin(), records.end(),
            [&](const Record &record) { return samePath(normalizedPath(record.rootPath), path); });
    }

    if (found != records.end()) {
        found->projectName = projectName;
        found->rootPath = path;
        found->agentCount = agentCount;
        found->bookmarkData = bookmarkData;
        found->updatedAt = now;
    } else {
        records.append(Record {projectID, projectName, path, agentCount, bookmarkData, now, now});
    }
    persist(records);
}

std::optional<QUuid> ProjectBookmarkStore::importedProjectID(const QString &rootPath)
{
    const QString path = normalizedPath(rootPath);
    for (const Record &record : loadRecords()) {
        if (samePath(normalizedPath(record.rootPath), path))
            return record.projectID;
    }
    return std::nullopt;
}

std::optional<QByteArray> ProjectBookmarkStore::bookmark(const QUuid &projectID)
{
    for (const Record &record : loadRecords()) {
        if (record.projectID == projectID)
            return record.bookmarkData;
    }
    return std::nullopt;
}

void ProjectBookmarkStore::deleteRecord(const QUuid &projectID)
{
    QList<Record> records = loadRecords();
    records.removeIf([&](const Record &record) { return record.projectID == projectID; });
    persist(records);
}

void ProjectBookmarkStore::persist(const QList<Record> &records)
{
    if (m_storageFilePath.isEmpty() || !QDir().mkpath(m_storageDirectory))
        return;
    if (!keepUndecodableFile())
        return; // never replace bytes that could not be kept

    QJsonArray array;
    for (const Record &record : records)
        array.append(encode(record));
    QSaveFile file(m_storageFilePath);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(Json::write(array));
    file.commit();
}

// Keeps a copy of a file that does not decode in full before it is
// replaced, and apart from it the records that were skipped, each once per
// distinct content. False when a copy could not be written.
bool ProjectBookmarkStore::keepUndecodableFile()
{
    const auto read = RegularFile::read(m_storageFilePath);
    if (!read) {
        // A file that is there but does not read (no permission, not a
        // regular file) may still hold every workspace: never replace it.
        if (!entryExists(m_storageFilePath))
            return true;
        qCWarning(lcBookmarks).noquote()
            << QStringLiteral("Not writing \"%1\": %2").arg(m_storageFilePath, read.errorMessage());
        return false;
    }
    const std::optional<QByteArray> bytes = read.value();
    if (bytes->isEmpty())
        return true;
    const std::optional<DecodedFile> decoded = decode(*bytes);
    if (decoded && decoded->skipped.isEmpty())
        return true;

    const QDateTime now = m_clock.now().toDateTime();
    if (!RegularFile::keepCopyOnce(
            m_storageDirectory, QLatin1String(kFileName) + kUnreadableSuffix, QString(), *bytes, now))
        return false;
    return !decoded
        || RegularFile::keepCopyOnce(m_storageDirectory, QLatin1String(kFileName) + kSkippedSuffix, QString(),
            Json::write(decoded->skipped), now);
}

// Says once per distinct file content what could not be read, as the
// file is read again by every operation.
void ProjectBookmarkStore::reportUnreadable(const QByteArray &bytes, const QString &message)
{
    if (bytes == m_reportedContent)
        return;
    m_reportedContent = bytes;
    qCWarning(lcBookmarks).noquote() << message;
}

void ProjectBookmarkStore::migrateLegacyDefaultsIfNeeded()
{
    if (m_storageFilePath.isEmpty() || QFileInfo::exists(m_storageFilePath))
        return;
    auto entries = bookmarkDictionary(m_defaults, QLatin1String(kStorageKey));
    if (!entries)
        entries = bookmarkDictionary(m_defaults, QLatin1String(kLegacyStorageKey));
    if (!entries || entries->isEmpty())
        return;

    const TimePoint now = m_clock.now();
    QList<Record> records;
    for (const auto &[key, data] : *entries) {
        const std::optional<QUuid> projectID = UuidText::parse(key);
        if (!projectID)
            continue;
        records.append(Record {*projectID, kImportedName, QString(), 0, data, now, now});
    }
    persist(deduplicate(records));
}

QList<Record> ProjectBookmarkStore::deduplicate(const QList<Record> &records)
{
    if (records.isEmpty())
        return {};

    // By project ID, in the order first seen.
    QList<Record> byProject;
    QHash<QUuid, qsizetype> projectIndex;
    for (Record record : records) {
        record.rootPath = normalizedPath(record.rootPath);
        const auto it = projectIndex.constFind(record.projectID);
        if (it != projectIndex.constEnd()) {
            byProject[*it] = merge(byProject[*it], record);
        } else {
            projectIndex.insert(record.projectID, byProject.size());
            byProject.append(record);
        }
    }

    // By folder: the oldest record of a folder keeps its project ID, in the
    // place of the folder's first record.
    QList<Record> result;
    QHash<QString, qsizetype> folderIndex;
    for (const Record &record : std::as_const(byProject)) {
        const QString path = normalizedPath(record.rootPath);
        if (path.isEmpty()) {
            result.append(record);
            continue;
        }
        const QString key = pathKey(path);
        const auto it = folderIndex.constFind(key);
        if (it == folderIndex.constEnd()) {
            folderIndex.insert(key, result.size());
            result.append(record);
            continue;
        }
        Record &current = result[*it];
        current = keepsFolderOver(record, current) ? mergeKeepingProjectID(record, current)
                                                   : mergeKeepingProjectID(current, record);
    }

    std::stable_sort(result.begin(), result.end(), createdBefore);
    return result;
}

Record ProjectBookmarkStore::merge(const Record &existing, const Record &incoming)
{
    const bool incomingIsNewer = incoming.updatedAt >= existing.updatedAt;
    const Record &newer = incomingIsNewer ? incoming : existing;
    const Record &older = incomingIsNewer ? existing : incoming;
    Record merged = newer;
    if (merged.projectName.isEmpty())
        merged.projectName = older.projectName;
    if (merged.rootPath.isEmpty())
        merged.rootPath = older.rootPath;
    merged.createdAt = std::min(existing.createdAt, incoming.createdAt);
    merged.updatedAt = std::max(existing.updatedAt, incoming.updatedAt);
    return merged;
}

Record ProjectBookmarkStore::mergeKeepingProjectID(const Record &keeper, const Record &other)
{
    const bool keeperIsNewer = keeper.updatedAt >= other.updatedAt;
    const Record &newer = keeperIsNewer ? keeper : other;
    const Record &older = keeperIsNewer ? other : keeper;
    Record merged = newer;
    merged.projectID = keeper.projectID;
    merged.projectName = newer.projectName.isEmpty() ? older.projectName : newer.projectName;
    merged.rootPath = keeper.rootPath.isEmpty() ? other.rootPath : keeper.rootPath;
    merged.createdAt = std::min(keeper.createdAt, other.createdAt);
    merged.updatedAt = std::max(keeper.updatedAt, other.updatedAt);
    return merged;
}

// Trimmed, absolute (from the working directory), with "." and ".." worked
// out and the symbolic links of the part that exists resolved; no trailing
// slash. Letter case stays as written.
QString ProjectBookmarkStore::normalizedPath(const QString &path)
{
    const QString trimmed = Text::trimmed(path);
    if (trimmed.isEmpty())
        return QString();
    QString existing = QDir::cleanPath(QDir::current().absoluteFilePath(trimmed));
    QStringList missing;
    while (true) {
        const QFileInfo info(existing);
        if (info.exists()) {
            const QString canonical = info.canonicalFilePath();
            if (!canonical.isEmpty()) {
                existing = canonical;
                break;
            }
        }
        const QString parent = info.path();
        if (parent == existing)
            break; // the root, or nothing left to resolve
        missing.prepend(info.fileName());
        existing = parent;
    }
    if (missing.isEmpty())
        return existing;
    return QDir::cleanPath(existing + u'/' + missing.join(u'/'));
}
