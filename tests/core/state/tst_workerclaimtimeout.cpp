#include "TestSupport.h"
#include "state/TaskCreation.h"
#include "state/TaskTracking.h"
#include "state/WorkerClaimTimeout.h"

#include <QtTest>

namespace {

const QUuid kWorkspace = QUuid::fromString(QStringLiteral("aaaaaaaa-1111-4222-8333-444444444444"));
const TimePoint kNow = TimePoint::fromUnixSeconds(1700000000.375);

// A task delegated `age` seconds ago and not yet claimed.
BL_Task pendingTask(double age, BL_TaskStatus status = BL_TaskStatus::queued)
{
    TestSupport::PinnedClock clock(kNow.addSeconds(-age));
    TaskCreationRequest request;
    request.projectID = kWorkspace;
    request.title = QStringLiteral("T");
    request.initialStatus = status;
    return TaskCreation::markedForDelegation(*TaskCreation::makeTask(request, std::nullopt, QString(), clock), clock);
}

} // namespace

Q_DECLARE_METATYPE(std::optional<QString>)

class WorkerClaimTimeoutTest : public QObject
{
    Q_OBJECT

private slots:
    void overdue_data()
    {
        QTest::addColumn<double>("age");
        QTest::addColumn<BL_TaskDelegationState>("delegation");
        QTest::addColumn<std::optional<QString>>("key"); // nothing: the pending-spawn key of the task
        QTest::addColumn<bool>("overdue");
        using D = BL_TaskDelegationState;
        const std::optional<QString> pending;
        QTest::newRow("119 s") << 119.0 << D::spawnPending << pending << false;
        QTest::newRow("119.999 s") << 119.999 << D::spawnPending << pending << false;
        QTest::newRow("exactly 120 s") << 120.0 << D::spawnPending << pending << true;
        QTest::newRow("allocated, 121 s") << 121.0 << D::allocated << pending << true;
        QTest::newRow("an hour") << 3600.0 << D::spawnPending << pending << true;
        QTest::newRow("allocated to an agent")
            << 3600.0 << D::allocated << std::optional(QStringLiteral("agent:cccccccc-0000-4000-8000-000000000000"))
            << false;
        QTest::newRow("no key") << 3600.0 << D::spawnPending << std::optional(QString()) << false;
        QTest::newRow("claimed") << 3600.0 << D::claimed << pending << false;
        QTest::newRow("actively working") << 3600.0 << D::activelyWorking << pending << false;
        QTest::newRow("unallocated") << 3600.0 << D::unallocated << pending << false;
        QTest::newRow("prefix in other case")
            << 3600.0 << D::spawnPending << std::optional(QStringLiteral("Pending-Spawn:1:x")) << false;
    }
    void overdue()
    {
        QFETCH(double, age);
        QFETCH(BL_TaskDelegationState, delegation);
        QFETCH(std::optional<QString>, key);
        QFETCH(bool, overdue);
        BL_Task task = pendingTask(age);
        task.delegationState = delegation;
        if (key)
            task.workerSessionKey = key->isEmpty() ? std::nullopt : key;
        const TimePoint cutoff = WorkerClaimTimeout::cutoff(kNow);
        QCOMPARE(WorkerClaimTimeout::isOverdue(task, cutoff), overdue);
        QCOMPARE(
            WorkerClaimTimeout::overdueClaims({pendingTask(1), task, pendingTask(2)}, cutoff).size(), overdue ? 1 : 0);
    }

    void overdueClaimsKeepBoardOrder()
    {
        const QList<BL_Task> tasks {pendingTask(300), pendingTask(10), pendingTask(200)};
        const QList<BL_Task> overdue = WorkerClaimTimeout::overdueClaims(tasks, WorkerClaimTimeout::cutoff(kNow));
        QCOMPARE(overdue.size(), 2);
        QCOMPARE(overdue[0].blID, tasks[0].blID);
        QCOMPARE(overdue[1].blID, tasks[2].blID);
    }

    void requeue_data()
    {
        QTest::addColumn<BL_TaskStatus>("status");
        QTest::addColumn<bool>("moves");
        QTest::newRow("queued: no second move") << BL_TaskStatus::queued << false;
        QTest::newRow("in progress") << BL_TaskStatus::inProgress << true;
        QTest::newRow("backlog") << BL_TaskStatus::backlog << true;
    }
    void requeue()
    {
        QFETCH(BL_TaskStatus, status);
        QFETCH(bool, moves);
        TestSupport::PinnedClock clock(kNow);
        const BL_Task task = pendingTask(130, status);
        QCOMPARE(WorkerClaimTimeout::needsMoveToQueue(task), moves);

        const BL_Event logOnly = WorkerClaimTimeout::requeueLogEvent(task, clock);
        QCOMPARE(logOnly.type, BL_EventType::taskMoved);
        QCOMPARE(logOnly.projectID, kWorkspace);
        QCOMPARE(logOnly.taskID, task.blID);
        QCOMPARE(logOnly.timestamp, kNow);
        QVERIFY(!logOnly.payload);

        const BL_Event rejection = WorkerClaimTimeout::rejectionEvent(task, clock);
        QCOMPARE(rejection.type, BL_EventType::delegationRejected);
        QCOMPARE(rejection.taskID, task.blID);
        QCOMPARE(rejection.timestamp, kNow);
        const auto payload = rejection.decodePayload<BL_TaskEventPayload>();
        QVERIFY(payload);
        QVERIFY(!payload->agentID && !payload->stdoutChunk && !payload->stdoutReset);
        QCOMPARE(payload->detail, QStringLiteral("Spawn/claim timeout exceeded (120s); task re-queued."));
        QCOMPARE(payload->workerSessionKey, task.workerSessionKey);
        QVERIFY(payload->conversationTurn);
        QCOMPARE(payload->conversationTurn->role, BL_TaskConversationRole::system);
        QVERIFY(!payload->conversationTurn->agentID);
        QCOMPARE(payload->conversationTurn->timestamp, kNow);
        QCOMPARE(payload->conversationTurn->content,
            QStringLiteral("Worker claim timeout exceeded; task moved back to Intake queue."));

        // Folded back in, the rejection leaves the task ready to be picked up again.
        BL_Task requeued = task;
        requeued.status = BL_TaskStatus::queued; // the board's move
        TaskTracking::applyEvent(requeued, rejection, clock);
        QCOMPARE(requeued.status, BL_TaskStatus::queued);
        QCOMPARE(requeued.workerState, BL_TaskWorkerState::notDelegated);
        QCOMPARE(requeued.delegationState, BL_TaskDelegationState::unallocated);
        QVERIFY(!requeued.workerSessionKey);
        QCOMPARE(requeued.taskLastActivityDate, kNow);
        QVERIFY(!WorkerClaimTimeout::isAwaitingClaim(requeued));
        QCOMPARE(requeued.decodedHistory()->last().detail, payload->detail);
        QCOMPARE(requeued.decodedConversation()->last().content, payload->conversationTurn->content);
    }
};

QTEST_GUILESS_MAIN(WorkerClaimTimeoutTest)
#include "tst_workerclaimtimeout.moc"
