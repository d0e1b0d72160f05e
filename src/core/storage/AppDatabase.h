#pragma once

#include "common/TimePoint.h"
#include "storage/DatabaseMigrator.h"

#include <QString>

// The schema of the local SQLite files ("tessaron.sqlite" and
// "team-projects.sqlite") as six named migrations. Every step is guarded:
// tables and indexes are created only if missing and columns added only if
// missing, so a migration that meets its own effects changes nothing.
namespace AppDatabase {

inline constexpr const char *kInitial = "v1_initial";
inline constexpr const char *kTaskExtraMetadata = "v2_task_extra_metadata";
inline constexpr const char *kTaskActivityTracking = "v3_task_activity_tracking";
inline constexpr const char *kTaskConversationTracking = "v4_task_conversation_tracking";
inline constexpr const char *kDelegationStateTracking = "v5_delegation_state_tracking";
inline constexpr const char *kOrgTeamNodeFoundation = "v6_org_team_node_foundation";

// A new migrator holding the six migrations in order. The default of
// `tasks.task_last_activity_date` is the time on `clock` when the third
// migration runs; `clock` must outlive the migrator.
DatabaseMigrator migrator(const Clock &clock = Clock::system());

} // namespace AppDatabase
