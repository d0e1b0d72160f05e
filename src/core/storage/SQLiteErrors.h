#pragma once

#include "common/Result.h"

#include <QString>
#include <exception>

namespace SQLite {
class Database;
}

// Errors of the SQLite access layer as the storage services report them:
// domain "SQLite", the extended result code (-1 when there is none) and a
// message that says what was being done and what SQLite answered.
namespace SQLiteErrors {

inline constexpr const char *kDomain = "SQLite";

Error fromException(const std::exception &exception, const QString &context);

// "the database <path>", or "the in-memory database".
QString describe(const SQLite::Database &database);

// Rolls back when a transaction is still open (SQLite may already have
// rolled back by itself); never throws.
void rollbackQuietly(SQLite::Database &database) noexcept;

} // namespace SQLiteErrors
