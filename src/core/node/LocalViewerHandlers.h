#pragma once

#include "agenttools/ModelUsageSnapshot.h"
#include "node/LocalViewerRecords.h"

#include <QFuture>
#include <functional>
#include <optional>

// The operations behind the local viewer's routes. Each may be called from
// any thread and answers through a future; an empty slot, or a future that
// ends without a value, gets the slot's fallback (an empty list, absent,
// false or nothing).
struct LocalViewerHandlers
{
    template<typename T> using Async = QFuture<T>;

    std::function<Async<QList<LocalViewer::TaskSummary>>(std::optional<QUuid> projectID)> fetchTasks;
    std::function<Async<std::optional<LocalViewer::TaskDetailResponse>>(QUuid projectID, QUuid taskID)>
        fetchTaskDetails;
    std::function<Async<QList<LocalViewer::WorkspaceSummary>>()> fetchWorkspaces;
    std::function<Async<std::optional<LocalViewer::CreateWorkspaceResponse>>(LocalViewer::CreateWorkspaceRequest)>
        createWorkspace;
    std::function<Async<bool>(LocalViewer::CreateTaskRequest)> createTask;
    std::function<Async<void>(LocalViewer::MoveTaskRequest)> moveTask;
    std::function<Async<void>(LocalViewer::DeleteTaskRequest)> deleteTask;
    std::function<Async<void>(LocalViewer::CancelTaskRequest)> cancelTask;
    std::function<Async<void>(LocalViewer::ClearDoneTasksRequest)> clearDoneTasks;
    std::function<Async<void>(LocalViewer::DelegateTaskRequest)> delegateTask;
    std::function<Async<QList<LocalViewer::OrganizationSummary>>()> fetchOrganizations;
    std::function<Async<QList<LocalViewer::TeamSummary>>(std::optional<QUuid> organizationID)> fetchTeams;
    std::function<Async<QList<LocalViewer::MainNodeSummary>>(std::optional<QUuid> organizationID)> fetchMainNodes;
    std::function<Async<std::optional<LocalViewer::AuthContextResponse>>(
        std::optional<QString> email, std::optional<QString> googleSubjectID, std::optional<QString> name)>
        fetchAuthContext;
    std::function<Async<ModelUsageAPIResponse>()> fetchModelUsage;
    std::function<Async<std::optional<LocalViewer::OrganizationSummary>>(LocalViewer::CreateOrganizationRequest)>
        createOrganization;
    std::function<Async<std::optional<LocalViewer::TeamSummary>>(LocalViewer::CreateTeamRequest)> createTeam;
    std::function<Async<std::optional<BL_Invite>>(LocalViewer::CreateInviteRequest)> createInvite;
    std::function<Async<std::optional<LocalViewer::AuthContextResponse>>(LocalViewer::AcceptInviteRequest)>
        acceptInvite;

    // Synchronous, called on the router's pool (it may take a while): the
    // submitter's hardware address for its IP text.
    std::function<std::optional<QString>(const QString &ip)> resolveSubmitterMAC;
};
