#pragma once

#include "common/Result.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

namespace SQLite {
class Database;
}

// Brings a SQLite file's schema up to date through an ordered list of named
// migrations. Each applied migration leaves one row with its identifier in
// the bookkeeping table, so a file receives only the migrations it lacks and
// a second run changes nothing.
//
// Each pending migration runs in its own transaction together with its
// bookkeeping row. Foreign-key enforcement is switched off for the
// migration's steps (it can only be switched outside a transaction), every
// foreign key is checked before the commit, and enforcement is switched back
// on afterwards, so the connection is left with foreign keys enforced.
class DatabaseMigrator
{
public:
    // The statements of one migration. They report a failure by throwing
    // (SQLite::Exception, or any std::exception); the migration is then
    // rolled back with its bookkeeping row.
    using Steps = std::function<void(SQLite::Database &)>;

    struct Migration
    {
        QString identifier;
        Steps steps;
    };

    // One column, `identifier` (TEXT NOT NULL PRIMARY KEY).
    static constexpr const char *kBookkeepingTable = "schema_migrations";

    // Appends a migration; identifiers must be unique (a repeated identifier
    // is ignored).
    void registerMigration(const QString &identifier, Steps steps);

    const QList<Migration> &migrations() const { return m_migrations; }
    QStringList identifiers() const;

    // Runs every registered migration that the bookkeeping table does not
    // list yet, in registration order. Stops at the first failure: earlier
    // migrations stay applied, the failed one leaves nothing behind, later
    // ones are not attempted. A file that is not a database, or is damaged
    // or truncated, gives an error with a readable message; nothing throws.
    Result<void> migrate(SQLite::Database &database) const;

    // The identifiers the bookkeeping table lists, in the order they were
    // applied; empty when the table does not exist.
    static Result<QStringList> appliedIdentifiers(SQLite::Database &database);

private:
    QList<Migration> m_migrations;
};
