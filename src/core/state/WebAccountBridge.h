#pragma once

#include "node/LocalViewerRecords.h"

#include <optional>

class AppState;

// The account side of the web bridge: organisations, teams, main nodes, the
// auth context and invites of the local team store, as the local viewer
// serves them. Main thread only. While the user and team logic is off, lists
// are empty and single answers absent.
namespace WebAccountBridge {

// An invite's lifetime is kept within a hundred years either way.
inline constexpr double kMaxInviteLifetimeSeconds = 100.0 * 365.25 * 24 * 3600;

QList<LocalViewer::OrganizationSummary> organizationSummaries(AppState &state);
QList<LocalViewer::TeamSummary> teamSummaries(AppState &state, const std::optional<QUuid> &organizationID);
QList<LocalViewer::MainNodeSummary> mainNodeSummaries(AppState &state, const std::optional<QUuid> &organizationID);
// Looks the user up by Google subject or e-mail; never creates or changes a
// user (nothing when there is no match).
std::optional<LocalViewer::AuthContextResponse> authContext(
    AppState &state, const std::optional<QString> &email, const std::optional<QString> &googleSubjectID);
std::optional<LocalViewer::OrganizationSummary> createOrganization(
    AppState &state, const LocalViewer::CreateOrganizationRequest &request);
std::optional<LocalViewer::TeamSummary> createTeam(AppState &state, const LocalViewer::CreateTeamRequest &request);
std::optional<BL_Invite> createInvite(AppState &state, const LocalViewer::CreateInviteRequest &request);
// Upserts the user, accepts the invite for it and answers that user's
// context.
std::optional<LocalViewer::AuthContextResponse> acceptInvite(
    AppState &state, const LocalViewer::AcceptInviteRequest &request);

} // namespace WebAccountBridge
