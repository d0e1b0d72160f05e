#include "SQLiteErrors.h"

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Exception.h>
#include <sqlite3.h>

namespace SQLiteErrors {

Error fromException(const std::exception &exception, const QString &context)
{
    int code = -1;
    if (const auto *sqliteError = dynamic_cast<const SQLite::Exception *>(&exception))
        code = sqliteError->getExtendedErrorCode();
    return Error::make(
        QLatin1String(kDomain), code, context + QStringLiteral(": ") + QString::fromUtf8(exception.what()));
}

QString describe(const SQLite::Database &database)
{
    const QString name = QString::fromStdString(database.getFilename());
    return name.isEmpty() ? QStringLiteral("the in-memory database") : QStringLiteral("the database ") + name;
}

void rollbackQuietly(SQLite::Database &database) noexcept
{
    try {
        if (sqlite3_get_autocommit(database.getHandle()) == 0)
            database.exec("ROLLBACK");
    } catch (...) {
        // The error that made us roll back is the one worth reporting.
    }
}

} // namespace SQLiteErrors
