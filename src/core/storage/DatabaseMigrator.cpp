#include "DatabaseMigrator.h"
#include "storage/WriteTransaction.h"

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Exception.h>
#include <SQLiteCpp/Statement.h>
#include <sqlite3.h>

#include <exception>
#include <stdexcept>
#include <string>

namespace {

const QString kDomain = QStringLiteral("DatabaseMigrator");

QString fileLabel(const SQLite::Database &database)
{
    const QString name = QString::fromStdString(database.getFilename());
    return name.isEmpty() ? QStringLiteral("(in memory)") : name;
}

Error errorFrom(const std::exception &exception, const QString &context)
{
    int code = -1;
    if (const auto *sqliteError = dynamic_cast<const SQLite::Exception *>(&exception))
        code = sqliteError->getExtendedErrorCode();
    return Error::make(kDomain, code, context + QStringLiteral(": ") + QString::fromUtf8(exception.what()));
}

bool insideTransaction(SQLite::Database &database)
{
    return sqlite3_get_autocommit(database.getHandle()) == 0;
}

void setForeignKeys(SQLite::Database &database, bool on)
{
    database.exec(on ? "PRAGMA foreign_keys = ON" : "PRAGMA foreign_keys = OFF");
}

// Throws when any row breaks a foreign key.
void checkForeignKeys(SQLite::Database &database)
{
    SQLite::Statement check(database, "PRAGMA foreign_key_check");
    if (check.executeStep()) {
        const std::string table = check.getColumn(0).getString();
        const std::string parent = check.getColumn(2).getString();
        throw std::runtime_error("a row of table " + table + " refers to a missing row of table " + parent);
    }
}

void createBookkeepingTable(SQLite::Database &database)
{
    database.exec(std::string("CREATE TABLE IF NOT EXISTS ") + DatabaseMigrator::kBookkeepingTable
        + " (identifier TEXT NOT NULL PRIMARY KEY)");
}

QStringList readIdentifiers(SQLite::Database &database)
{
    QStringList identifiers;
    SQLite::Statement query(
        database, std::string("SELECT identifier FROM ") + DatabaseMigrator::kBookkeepingTable + " ORDER BY rowid");
    while (query.executeStep())
        identifiers.append(QString::fromStdString(query.getColumn(0).getString()));
    return identifiers;
}

} // namespace

void DatabaseMigrator::registerMigration(const QString &identifier, Steps steps)
{
    if (identifiers().contains(identifier))
        return;
    m_migrations.append(Migration {identifier, std::move(steps)});
}

QStringList DatabaseMigrator::identifiers() const
{
    QStringList result;
    result.reserve(m_migrations.size());
    for (const Migration &migration : m_migrations)
        result.append(migration.identifier);
    return result;
}

Result<QStringList> DatabaseMigrator::appliedIdentifiers(SQLite::Database &database)
{
    try {
        if (!database.tableExists(kBookkeepingTable))
            return QStringList();
        return readIdentifiers(database);
    } catch (const std::exception &exception) {
        return errorFrom(exception,
            QStringLiteral("Could not read the migration records of the database %1").arg(fileLabel(database)));
    }
}

Result<void> DatabaseMigrator::migrate(SQLite::Database &database) const
{
    if (insideTransaction(database))
        return Error::make(kDomain, SQLITE_MISUSE,
            QStringLiteral("Could not update the database %1: a transaction is already open").arg(fileLabel(database)));

    QStringList applied;
    try {
        createBookkeepingTable(database);
        applied = readIdentifiers(database);
    } catch (const std::exception &exception) {
        return errorFrom(exception,
            QStringLiteral("Could not read the migration records of the database %1").arg(fileLabel(database)));
    }

    for (const Migration &migration : m_migrations) {
        if (applied.contains(migration.identifier))
            continue;
        const QString context = QStringLiteral("Could not apply the migration \"%1\" to the database %2")
                                    .arg(migration.identifier, fileLabel(database));
        try {
            setForeignKeys(database, false);
            inWriteTransaction(database, [&] {
                migration.steps(database);
                SQLite::Statement record(
                    database, std::string("INSERT INTO ") + kBookkeepingTable + " (identifier) VALUES (?)");
                record.bind(1, migration.identifier.toStdString());
                record.exec();
                checkForeignKeys(database);
            });
            setForeignKeys(database, true);
        } catch (const std::exception &exception) {
            Error error = errorFrom(exception, context);
            try {
                // Rolled back already (or by SQLite itself, a full disk for one).
                setForeignKeys(database, true);
            } catch (const std::exception &) {
                // The first error is the one worth reporting.
            }
            return error;
        }
    }
    return Result<void>::success();
}
