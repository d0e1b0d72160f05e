#pragma once

#include "common/Result.h"
#include "common/TimePoint.h"

#include <QString>
#include <memory>

class DatabaseServiceProtocol;

// Where the task database lives and which store serves the run.
namespace TaskDatabase {

inline constexpr const char *kFileName = "tessaron.sqlite";
inline constexpr const char *kLegacyFileName = "quillstead.sqlite";

// When "tessaron.sqlite" does not exist in `directory` but "quillstead.sqlite"
// does, renames the legacy file to the new name. Its "-journal", "-wal" and
// "-shm" companions move with it first, so a database left with a hot
// journal or unmerged log keeps its last transactions; the database file
// itself moves last, so an interrupted move is finished by the next call
// (a marker file "tessaron.sqlite.legacy-move" lives for the move's length).
// Companions of the new name that no earlier move left there belong to no
// database: they are renamed to "<name>.orphaned" first, so SQLite never
// replays them onto the moved file. Nothing happens when neither file exists.
Result<void> migrateLegacyDatabaseIfNeeded(const QString &directory);

// The store for this run: the SQLite service on "tessaron.sqlite" in
// `dataDirectory` (created when missing, after the legacy move), or, when any
// step fails, a new empty in-memory store. The failure is dropped.
std::unique_ptr<DatabaseServiceProtocol> makeDatabaseService(
    const QString &dataDirectory, const Clock &clock = Clock::system());

} // namespace TaskDatabase
