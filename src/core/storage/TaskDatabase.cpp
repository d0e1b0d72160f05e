#include "TaskDatabase.h"

#include "common/Logging.h"

#include "storage/SQLiteDatabaseService.h"
#include "storage/TransientDatabaseService.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <filesystem>
#include <system_error>

namespace TaskDatabase {

namespace {

    const char *const kCompanionSuffixes[] = {"-journal", "-wal", "-shm"};
    const char *const kMoveMarkerSuffix = ".legacy-move";

    // Something (file, folder, link) exists at the path, even a dangling link.
    bool entryExists(const std::filesystem::path &path)
    {
        std::error_code error;
        return std::filesystem::exists(std::filesystem::symlink_status(path, error));
    }

    Result<void> moveEntry(const std::filesystem::path &from, const std::filesystem::path &to)
    {
        std::error_code error;
        std::filesystem::rename(from, to, error);
        if (error)
            return Error::make(QStringLiteral("TaskDatabase"), error.value(),
                QStringLiteral("Could not move the legacy database file %1 to %2: %3")
                    .arg(QString::fromStdString(from.string()), QString::fromStdString(to.string()),
                        QString::fromStdString(error.message())));
        return Result<void>::success();
    }

    // "<name>.orphaned", or "<name>.orphaned-2", "-3"… when that is taken.
    Result<void> moveAside(const std::filesystem::path &orphan)
    {
        std::filesystem::path target = orphan;
        target += ".orphaned";
        for (int number = 2; entryExists(target); ++number) {
            target = orphan;
            target += ".orphaned-" + std::to_string(number);
        }
        return moveEntry(orphan, target);
    }

    Result<void> createMarker(const std::filesystem::path &marker)
    {
        QFile file(QString::fromStdString(marker.string()));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return Error::make(QStringLiteral("TaskDatabase"), int(file.error()),
                QStringLiteral("Could not mark the move of the legacy database: ") + file.errorString());
        return Result<void>::success();
    }

} // namespace

Result<void> migrateLegacyDatabaseIfNeeded(const QString &directory)
{
    const std::filesystem::path folder = QDir(directory).absolutePath().toStdString();
    const std::filesystem::path current = folder / kFileName;
    const std::filesystem::path legacy = folder / kLegacyFileName;
    if (entryExists(current) || !entryExists(legacy))
        return Result<void>::success();

    // The marker says that companions under the new name came from the legacy
    // file, moved by an earlier run that stopped before the file itself.
    std::filesystem::path marker = current;
    marker += kMoveMarkerSuffix;
    if (!entryExists(marker)) {
        // Companions of a database that is gone belong to nothing: a log or
        // journal left in place would be replayed onto the moved file.
        for (const char *suffix : kCompanionSuffixes) {
            std::filesystem::path orphan = current;
            orphan += suffix;
            if (!entryExists(orphan))
                continue;
            if (Result<void> keptAside = moveAside(orphan); !keptAside)
                return keptAside;
        }
        if (Result<void> marked = createMarker(marker); !marked)
            return marked;
    }

    // Each companion that exists replaces the one of the new name; one that
    // was already moved by an interrupted earlier run stays where it is.
    for (const char *suffix : kCompanionSuffixes) {
        std::filesystem::path from = legacy;
        from += suffix;
        if (!entryExists(from))
            continue;
        std::filesystem::path to = current;
        to += suffix;
        if (Result<void> moved = moveEntry(from, to); !moved)
            return moved;
    }
    if (Result<void> moved = moveEntry(legacy, current); !moved)
        return moved;
    std::error_code ignored;
    std::filesystem::remove(marker, ignored);
    return Result<void>::success();
}

std::unique_ptr<DatabaseServiceProtocol> makeDatabaseService(const QString &dataDirectory, const Clock &clock)
{
    // Each fallback keeps the application working on an empty in-memory
    // store, which forgets every task at exit: say why.
    if (dataDirectory.isEmpty() || !QDir().mkpath(dataDirectory)) {
        qCWarning(lcStorage) << "no usable data folder" << dataDirectory
                             << "- tasks are kept in memory only for this session";
        return std::make_unique<TransientDatabaseService>();
    }
    if (!migrateLegacyDatabaseIfNeeded(dataDirectory)) {
        qCWarning(lcStorage) << "the older task database in" << dataDirectory
                             << "could not be moved over - tasks are kept in memory only for this session";
        return std::make_unique<TransientDatabaseService>();
    }
    const QString path = QDir(dataDirectory).filePath(QLatin1String(kFileName));
    auto opened = SQLiteDatabaseService::open(path, clock);
    if (!opened) {
        qCWarning(lcStorage) << "the task database" << path << "could not be opened:" << opened.errorMessage()
                             << "- tasks are kept in memory only for this session";
        return std::make_unique<TransientDatabaseService>();
    }
    qCDebug(lcStorage) << "task database" << path;
    return std::move(opened).value();
}

} // namespace TaskDatabase
