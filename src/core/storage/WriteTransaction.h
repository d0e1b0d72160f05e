#pragma once

#include "storage/SQLiteErrors.h"

#include <SQLiteCpp/Database.h>

// The one way the stores write: runs `body` inside BEGIN IMMEDIATE ... COMMIT
// (the write lock taken at once, so a busy file fails at the start, not half
// way), and rolls back and rethrows when the body or the commit throws.
template<typename Body> void inWriteTransaction(SQLite::Database &database, Body &&body)
{
    database.exec("BEGIN IMMEDIATE");
    try {
        body();
        database.exec("COMMIT");
    } catch (...) {
        SQLiteErrors::rollbackQuietly(database);
        throw;
    }
}
