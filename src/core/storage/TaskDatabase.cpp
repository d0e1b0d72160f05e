#include "TaskDatabase.h"

#include "storage/SQLiteDatabaseService.h"
#include "storage/TransientDatabaseService.h"

#include <QDir>
#include <QFileInfo>

#include <filesystem>
#include <system_error>

namespace TaskDatabase {

namespace {

    const char *const kCompanionSuffixes[] = {"-journal", "-wal", "-shm"};

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

} // namespace

Result<void> migrateLegacyDatabaseIfNeeded(const QString &directory)
{
    const std::filesystem::path folder = QDir(directory).absolutePath().toStdString();
    const std::filesystem::path current = folder / kFileName;
    const std::filesystem::path legacy = folder / kLegacyFileName;
    if (entryExists(current) || !entryExists(legacy))
        return Result<void>::success();

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
    return moveEntry(legacy, current);
}

std::unique_ptr<DatabaseServiceProtocol> makeDatabaseService(const QString &dataDirectory, const Clock &clock)
{
    if (dataDirectory.isEmpty() || !QDir().mkpath(dataDirectory))
        return std::make_unique<TransientDatabaseService>();
    if (!migrateLegacyDatabaseIfNeeded(dataDirectory))
        return std::make_unique<TransientDatabaseService>();
    auto opened = SQLiteDatabaseService::open(QDir(dataDirectory).filePath(QLatin1String(kFileName)), clock);
    if (!opened)
        return std::make_unique<TransientDatabaseService>();
    return std::move(opened).value();
}

} // namespace TaskDatabase
