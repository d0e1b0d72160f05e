#include "AppDatabase.h"

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include <set>
#include <string>
#include <vector>

namespace {

struct ColumnDefinition
{
    const char *name;
    std::string definition; // type and constraints, as written after the name
};

std::set<std::string> columnNames(SQLite::Database &database, const char *table)
{
    std::set<std::string> names;
    SQLite::Statement query(database, std::string("PRAGMA table_info(") + table + ")");
    while (query.executeStep())
        names.insert(query.getColumn(1).getString());
    return names;
}

// Adds each column `tasks` does not have yet (names compared exactly). A
// file without `tasks` is left alone; the migration still counts as applied.
void addMissingTaskColumns(SQLite::Database &database, const std::vector<ColumnDefinition> &columns)
{
    if (!database.tableExists("tasks"))
        return;
    const std::set<std::string> existing = columnNames(database, "tasks");
    for (const ColumnDefinition &column : columns) {
        if (existing.count(column.name) == 0)
            database.exec(std::string("ALTER TABLE tasks ADD COLUMN ") + column.name + ' ' + column.definition);
    }
}

void initial(SQLite::Database &database)
{
    database.exec("CREATE TABLE IF NOT EXISTS tasks (\n"
                  "  id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
                  "  bl_id TEXT NOT NULL UNIQUE,\n"
                  "  project_id TEXT NOT NULL,\n"
                  "  status TEXT NOT NULL,\n"
                  "  input_data BLOB NOT NULL,\n"
                  "  output_data BLOB,\n"
                  "  metadata BLOB NOT NULL DEFAULT X'7B7D',\n"
                  "  created_at DATETIME NOT NULL,\n"
                  "  updated_at DATETIME NOT NULL)");
    database.exec("CREATE INDEX IF NOT EXISTS idx_tasks_status_updated_at ON tasks (status, updated_at)");
    database.exec("CREATE INDEX IF NOT EXISTS idx_tasks_project_created_at ON tasks (project_id, created_at)");
}

void createIndex(SQLite::Database &database, const std::string &table, const std::string &column)
{
    database.exec("CREATE INDEX IF NOT EXISTS " + table + "_on_" + column + " ON " + table + " (" + column + ")");
}

void orgTeamNodeFoundation(SQLite::Database &database)
{
    database.exec("CREATE TABLE IF NOT EXISTS organizations (\n"
                  "  id TEXT PRIMARY KEY,\n"
                  "  name TEXT NOT NULL,\n"
                  "  slug TEXT NOT NULL UNIQUE,\n"
                  "  created_at DATETIME NOT NULL,\n"
                  "  updated_at DATETIME NOT NULL\n"
                  ")");

    database.exec("CREATE TABLE IF NOT EXISTS main_nodes (\n"
                  "  id TEXT PRIMARY KEY,\n"
                  "  organization_id TEXT NOT NULL REFERENCES organizations (id) ON DELETE CASCADE,\n"
                  "  name TEXT NOT NULL,\n"
                  "  host_label TEXT,\n"
                  "  status TEXT NOT NULL DEFAULT 'unknown',\n"
                  "  last_heartbeat_at DATETIME,\n"
                  "  created_at DATETIME NOT NULL,\n"
                  "  updated_at DATETIME NOT NULL\n"
                  ")");
    createIndex(database, "main_nodes", "organization_id");

    database.exec("CREATE TABLE IF NOT EXISTS team_memberships (\n"
                  "  id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
                  "  organization_id TEXT NOT NULL REFERENCES organizations (id) ON DELETE CASCADE,\n"
                  "  team_id TEXT NOT NULL,\n"
                  "  user_id TEXT NOT NULL,\n"
                  "  role TEXT NOT NULL DEFAULT 'member',\n"
                  "  created_at DATETIME NOT NULL,\n"
                  "  updated_at DATETIME NOT NULL,\n"
                  "  UNIQUE (team_id, user_id)\n"
                  ")");
    createIndex(database, "team_memberships", "organization_id");
    createIndex(database, "team_memberships", "team_id");
    createIndex(database, "team_memberships", "user_id");

    database.exec("CREATE TABLE IF NOT EXISTS workspace_grants (\n"
                  "  id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
                  "  organization_id TEXT NOT NULL REFERENCES organizations (id) ON DELETE CASCADE,\n"
                  "  workspace_id TEXT NOT NULL,\n"
                  "  team_id TEXT,\n"
                  "  user_id TEXT,\n"
                  "  created_at DATETIME NOT NULL,\n"
                  "  UNIQUE (organization_id, workspace_id, team_id, user_id)\n"
                  ")");
    createIndex(database, "workspace_grants", "organization_id");
    createIndex(database, "workspace_grants", "workspace_id");

    if (!database.tableExists("tasks"))
        return;
    if (columnNames(database, "tasks").count("organization_id") != 0)
        return;
    // The index comes only with the column, so a file that already has the
    // column keeps whatever indexes it has.
    database.exec("ALTER TABLE tasks ADD COLUMN organization_id TEXT");
    database.exec("CREATE INDEX IF NOT EXISTS idx_tasks_org_status_updated "
                  "ON tasks (organization_id, status, updated_at)");
}

// A SQL text literal.
std::string quoted(const QString &text)
{
    QString escaped = text;
    escaped.replace(u'\'', QStringLiteral("''"));
    return '\'' + escaped.toStdString() + '\'';
}

} // namespace

namespace AppDatabase {

DatabaseMigrator migrator(const Clock &clock)
{
    DatabaseMigrator result;
    result.registerMigration(QLatin1String(kInitial), initial);
    result.registerMigration(QLatin1String(kTaskExtraMetadata), [](SQLite::Database &database) {
        addMissingTaskColumns(database, {{"extra_metadata", "BLOB"}});
    });
    result.registerMigration(QLatin1String(kTaskActivityTracking), [&clock](SQLite::Database &database) {
        // Rows that exist now take the moment of the migration as their last
        // activity; later rows always carry their own.
        const std::string now = quoted(clock.now().toDatabaseText());
        addMissingTaskColumns(database,
            {{"worker_state", "TEXT NOT NULL DEFAULT 'notDelegated'"},
                {"task_history_data", "BLOB NOT NULL DEFAULT X'5B5D'"},
                {"task_last_activity_date", "DATETIME NOT NULL DEFAULT " + now}});
    });
    result.registerMigration(QLatin1String(kTaskConversationTracking), [](SQLite::Database &database) {
        addMissingTaskColumns(database, {{"task_conversation_data", "BLOB NOT NULL DEFAULT X'5B5D'"}});
    });
    result.registerMigration(QLatin1String(kDelegationStateTracking), [](SQLite::Database &database) {
        addMissingTaskColumns(
            database, {{"delegation_state", "TEXT NOT NULL DEFAULT 'unallocated'"}, {"worker_session_key", "TEXT"}});
    });
    result.registerMigration(QLatin1String(kOrgTeamNodeFoundation), orgTeamNodeFoundation);
    return result;
}

} // namespace AppDatabase
