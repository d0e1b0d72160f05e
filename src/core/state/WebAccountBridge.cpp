#include "state/WebAccountBridge.h"

#include "common/Text.h"
#include "common/UuidText.h"
#include "state/AppState.h"

#include <algorithm>

using namespace LocalViewer;

namespace WebAccountBridge {

namespace {

    template<typename T> QList<T> oldestFirst(QList<T> list)
    {
        std::stable_sort(list.begin(), list.end(), [](const T &a, const T &b) { return a.createdAt < b.createdAt; });
        return list;
    }

    OrganizationSummary organizationSummary(TeamProjectStore &store, const BL_Organization &organization)
    {
        QList<QUuid> projects = store.projectIDsForOrganization(organization.id);
        std::sort(projects.begin(), projects.end());
        projects.erase(std::unique(projects.begin(), projects.end()), projects.end());
        return OrganizationSummary {organization.id, organization.name, organization.slug,
            store.teams(organization.id).size(), projects.size()};
    }

    MainNodeSummary mainNodeSummary(const BL_MainNode &node)
    {
        return MainNodeSummary {node.id, node.organizationID, node.name, node.hostLabel, rawValue(node.status)};
    }

    AuthContextResponse contextFor(AppState &state, const BL_User &user)
    {
        TeamProjectStore &store = state.teamStore();
        AuthContextResponse context;
        context.user = user;
        const QList<QUuid> orgIDs = store.organizationIDsForUser(user.id);
        for (const BL_Organization &organization : oldestFirst(store.allOrganizations())) {
            if (orgIDs.contains(organization.id))
                context.organizations.append(organizationSummary(store, organization));
        }
        const QList<QUuid> teamIDs = store.teamIDsForUser(user.id);
        QSet<QUuid> visible;
        for (const BL_Team &team : oldestFirst(store.allTeams())) {
            if (!teamIDs.contains(team.id))
                continue;
            context.teams.append(TeamSummary {team.id, team.organizationID, team.name});
            for (const QUuid &projectID : store.projectIDsForTeam(team.id))
                visible.insert(projectID);
        }
        for (const BL_Workspace &workspace : state.projects()) {
            if (visible.contains(workspace.id) || store.ownerForProject(workspace.id) == std::optional<QUuid>(user.id))
                context.workspaces.append(WorkspaceSummary {workspace.id, workspace.name, 0, 0, 0, 0, 0});
        }
        for (const OrganizationSummary &organization : context.organizations) {
            for (const BL_MainNode &node : oldestFirst(store.mainNodes(organization.id)))
                context.mainNodes.append(mainNodeSummary(node));
        }
        return context;
    }

} // namespace

QList<OrganizationSummary> organizationSummaries(AppState &state)
{
    if (!state.isUserTeamLogicEnabled())
        return {};
    QList<OrganizationSummary> list;
    for (const BL_Organization &organization : oldestFirst(state.teamStore().allOrganizations()))
        list.append(organizationSummary(state.teamStore(), organization));
    return list;
}

QList<TeamSummary> teamSummaries(AppState &state, const std::optional<QUuid> &organizationID)
{
    if (!state.isUserTeamLogicEnabled())
        return {};
    const QList<BL_Team> teams
        = organizationID ? state.teamStore().teams(*organizationID) : state.teamStore().allTeams();
    QList<TeamSummary> list;
    for (const BL_Team &team : oldestFirst(teams))
        list.append(TeamSummary {team.id, team.organizationID, team.name});
    return list;
}

QList<MainNodeSummary> mainNodeSummaries(AppState &state, const std::optional<QUuid> &organizationID)
{
    if (!state.isUserTeamLogicEnabled())
        return {};
    QList<QUuid> organizations;
    if (organizationID) {
        organizations.append(*organizationID);
    } else {
        for (const BL_Organization &organization : oldestFirst(state.teamStore().allOrganizations()))
            organizations.append(organization.id);
    }
    QList<MainNodeSummary> list;
    for (const QUuid &id : organizations) {
        for (const BL_MainNode &node : oldestFirst(state.teamStore().mainNodes(id)))
            list.append(mainNodeSummary(node));
    }
    return list;
}

std::optional<AuthContextResponse> authContext(
    AppState &state, const std::optional<QString> &email, const std::optional<QString> &googleSubjectID)
{
    if (!state.isUserTeamLogicEnabled())
        return std::nullopt;
    const std::optional<BL_User> user = state.teamStore().findUser(email, googleSubjectID);
    if (!user)
        return std::nullopt;
    return contextFor(state, *user);
}

std::optional<OrganizationSummary> createOrganization(AppState &state, const CreateOrganizationRequest &request)
{
    if (!state.isUserTeamLogicEnabled())
        return std::nullopt;
    const QString name = Text::trimmed(request.name);
    if (name.isEmpty())
        return std::nullopt;
    const BL_Organization organization = state.teamStore().createOrganization(name);
    if (state.teamStore().mainNodes(organization.id).isEmpty())
        state.teamStore().createMainNode(QStringLiteral("Primary Node"), organization.id, std::nullopt);
    return OrganizationSummary {organization.id, organization.name, organization.slug, 0, 0};
}

std::optional<TeamSummary> createTeam(AppState &state, const CreateTeamRequest &request)
{
    if (!state.isUserTeamLogicEnabled())
        return std::nullopt;
    const QString name = Text::trimmed(request.name);
    if (name.isEmpty())
        return std::nullopt;
    const BL_Team team = state.teamStore().createTeam(name, request.organizationID);
    return TeamSummary {team.id, team.organizationID, team.name};
}

std::optional<BL_Invite> createInvite(AppState &state, const CreateInviteRequest &request)
{
    if (!state.isUserTeamLogicEnabled())
        return std::nullopt;
    const double lifetime = std::clamp(
        request.expiresInSeconds.value_or(604800.0), -kMaxInviteLifetimeSeconds, kMaxInviteLifetimeSeconds);
    return state.teamStore().createInvite(
        request.organizationID, request.teamID, request.role, request.email, lifetime);
}

std::optional<AuthContextResponse> acceptInvite(AppState &state, const AcceptInviteRequest &request)
{
    if (!state.isUserTeamLogicEnabled())
        return std::nullopt;
    const BL_User user = state.teamStore().upsertUser(request.name, request.email, request.googleSubjectID);
    if (!state.teamStore().acceptInvite(request.token, user.id, request.email))
        return std::nullopt;
    for (const BL_User &current : state.teamStore().allUsers()) {
        if (current.id == user.id)
            return contextFor(state, current);
    }
    return contextFor(state, user);
}

} // namespace WebAccountBridge
