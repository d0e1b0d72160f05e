#pragma once

#include "BL_AgentLoopRecords.h"

#include <QFuture>
#include <QString>
#include <functional>
#include <optional>

// Chooses a task run's next step by driving the Brimlock tool: first a
// dispatch of the whole task to an agent session, then checks of that
// session's history until a reply says the worker finished or failed, or the
// allowance of checks is used up. It keeps nothing between calls.
//
// Errors are BL_DomainError values of the domain "BL_DefaultDecisionEngine":
// code 1, a running worker without a session id; 2, the worker failed; 3, the
// allowance of checks is used up.
class BL_DefaultDecisionEngine final : public BL_AgentDecisionEngineProtocol
{
public:
    static constexpr const char *kErrorDomain = "BL_DefaultDecisionEngine";

    // The Brimlock agent named in the dispatch; callable from any thread.
    using AgentNameSource = std::function<QFuture<QString>()>;
    // The fragment every Brimlock command line starts with; may block (it can
    // start a login shell), so it is called on the blocking pool.
    using InvocationPrefixProvider = std::function<std::optional<QString>()>;

    // The defaults: the shared agent-name cache and the runtime's executable
    // search.
    explicit BL_DefaultDecisionEngine(qint64 maxMonitorAttempts = 30, AgentNameSource agentNameSource = {},
        InvocationPrefixProvider invocationPrefixProvider = {});

    qint64 maxMonitorAttempts() const { return m_maxMonitorAttempts; }

    QCoro::Task<BL_AgentDecision> nextDecision(QUuid taskID, QUuid projectID, BL_Agent agent,
        std::optional<QByteArray> taskInputData, std::optional<QString> projectRootPath,
        BL_ThoughtActionObservationState taoState) override;

    // The pieces below are the engine's own steps, open for tests.

    enum class WorkerStatusKind { dispatched, running, succeeded, undetermined, failed };
    struct WorkerStatus
    {
        WorkerStatusKind kind = WorkerStatusKind::undetermined;
        QString detail; // for failed
        friend bool operator==(const WorkerStatus &, const WorkerStatus &) = default;
    };

    struct AgentReply
    {
        std::optional<QString> sessionID;
        QString payloadText;
    };

    // The task input as text: JSON rewritten compact with sorted keys, else the
    // bytes as UTF-8, else "{}"; cut to 6000 characters.
    static QString decodeTaskDefinition(const std::optional<QByteArray> &taskInputData);
    static QString decorateTaskDefinitionWithProjectRoot(
        const QString &definition, const std::optional<QString> &projectRootPath);
    // "cd '<root>' && " for a root that is not blank, else nothing.
    static QString directoryPrefix(const std::optional<QString> &projectRootPath);
    // The message argument of the dispatch: the JSON string of the text as
    // the shell would have received it in double quotes, single-quoted so the
    // shell expands nothing in it.
    static QString quotedDispatchMessage(const QString &message);
    static QString makeWorkerDispatchCommand(const QString &invocationPrefix, const QUuid &taskID,
        const QString &selectedAgentName, const std::optional<QByteArray> &taskInputData,
        const std::optional<QString> &projectRootPath);
    static QString makeMonitorCommand(
        const QString &invocationPrefix, const QString &sessionID, const std::optional<QString> &projectRootPath);

    static std::optional<AgentReply> parseAgentResponseJSON(const QString &text);
    static std::optional<QString> resolveLatestSessionID(const QList<BL_Observation> &observations);
    static std::optional<QString> resolveWorkerSessionID(const BL_ThoughtActionObservationState &state);
    static std::optional<QString> parseStructuredWorkerStatus(const QString &text);
    static std::optional<QString> parseStructuredWorkerDetail(const QString &text);
    static WorkerStatus resolveWorkerStatus(const QString &standardOutput);
    static qint64 monitorCommandCount(const BL_ThoughtActionObservationState &state);

private:
    qint64 m_maxMonitorAttempts;
    AgentNameSource m_agentNameSource;
    InvocationPrefixProvider m_invocationPrefixProvider;
};
