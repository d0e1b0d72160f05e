#include "AgentTestSupport.h"
#include "agents/WorkerPool.h"

#include <QtTest>

using AgentTest::makeAgent;

namespace {

QList<BL_Agent> sixAgents()
{
    QList<BL_Agent> agents;
    for (int i = 1; i <= 6; ++i)
        agents.append(makeAgent(QStringLiteral("agent-%1").arg(i)));
    return agents;
}

} // namespace

class WorkerPoolTest : public QObject
{
    Q_OBJECT

private slots:
    void sharedAgentCountIsClamped_data()
    {
        QTest::addColumn<qint64>("written");
        QTest::addColumn<qint64>("stored");
        QTest::newRow("more than agents") << qint64(10) << qint64(6);
        QTest::newRow("negative") << qint64(-3) << qint64(0);
        QTest::newRow("within") << qint64(4) << qint64(4);
    }
    void sharedAgentCountIsClamped()
    {
        QFETCH(qint64, written);
        QFETCH(qint64, stored);
        WorkerPool pool(sixAgents());
        QCOMPARE(pool.sharedAgentCount(), 6);
        pool.setSharedAgentCount(written);
        QCOMPARE(pool.sharedAgentCount(), stored);
        QCOMPARE(pool.capacity(), stored);
        QCOMPARE(pool.availableAgents().size(), stored);
    }

    // Four in service: four tasks get the first four agents in order, a fifth
    // gets none and changes nothing; a freed agent is the first choice again.
    void assignsInListOrderUpToCapacity()
    {
        const QList<BL_Agent> agents = sixAgents();
        WorkerPool pool(agents);
        pool.setSharedAgentCount(4);
        const QUuid project = QUuid::createUuid();
        QList<QUuid> tasks;
        for (int i = 0; i < 5; ++i)
            tasks.append(QUuid::createUuid());

        for (int i = 0; i < 4; ++i) {
            const auto agent = pool.requestAssignment(tasks[i], project);
            QVERIFY(agent);
            QCOMPARE(agent->id, agents[i].id);
        }
        QCOMPARE(pool.freeSlotCount(), 0);
        QVERIFY(!pool.requestAssignment(tasks[4], project));
        QCOMPARE(pool.activeAssignmentCount(), 4);
        QVERIFY(!pool.assignedAgentID(tasks[4]));

        pool.complete(tasks[1]);
        QCOMPARE(pool.freeSlotCount(), 1);
        QCOMPARE(pool.requestAssignment(tasks[4], project)->id, agents[1].id);
    }

    void disabledAgentIsSkippedButCounts()
    {
        QList<BL_Agent> agents = sixAgents();
        agents[0].isEnabled = false;
        WorkerPool pool(agents);
        pool.setSharedAgentCount(2);
        const QUuid project = QUuid::createUuid();
        QCOMPARE(pool.requestAssignment(QUuid::createUuid(), project)->id, agents[1].id);
        QVERIFY(!pool.requestAssignment(QUuid::createUuid(), project));
        QCOMPARE(pool.capacity(), 2);
        QCOMPARE(pool.freeSlotCount(), 1); // a free slot no enabled agent can fill
    }

    void emptyPool()
    {
        WorkerPool pool({});
        QCOMPARE(pool.capacity(), 0);
        QCOMPARE(pool.freeSlotCount(), 0);
        QVERIFY(!pool.requestAssignment(QUuid::createUuid(), QUuid::createUuid()));
    }

    void completeOfUnknownTaskChangesNothing()
    {
        WorkerPool pool(sixAgents());
        const QUuid held = QUuid::createUuid();
        pool.requestAssignment(held, QUuid::createUuid());
        pool.complete(QUuid::createUuid());
        QCOMPARE(pool.activeAssignmentCount(), 1);
        QCOMPARE(pool.activeAgentIDs().size(), 1);
    }

    // A second assignment of a task that holds an agent gives the first back,
    // so delegating a task again never leaks a slot.
    void reassignmentReleasesTheEarlierAgent()
    {
        const QList<BL_Agent> agents = sixAgents();
        WorkerPool pool(agents);
        pool.setSharedAgentCount(2);
        const QUuid project = QUuid::createUuid();
        const QUuid task = QUuid::createUuid();
        const QUuid other = QUuid::createUuid();

        QCOMPARE(pool.requestAssignment(task, project)->id, agents[0].id);
        QCOMPARE(pool.requestAssignment(task, project)->id, agents[0].id);
        QCOMPARE(pool.activeAgentIDs(), QSet<QUuid> {agents[0].id});
        QCOMPARE(pool.requestAssignment(other, project)->id, agents[1].id);
        // The pool is full, yet the task's own agent serves it again.
        QCOMPARE(pool.requestAssignment(task, project)->id, agents[0].id);

        pool.complete(task);
        pool.complete(other);
        QCOMPARE(pool.activeAssignmentCount(), 0);
        QVERIFY(pool.activeAgentIDs().isEmpty());
        QCOMPARE(pool.freeSlotCount(), 2);
    }

    void runningCountAndPruneAreScopedToTheWorkspace()
    {
        WorkerPool pool(sixAgents());
        const QUuid first = QUuid::createUuid();
        const QUuid second = QUuid::createUuid();
        const QUuid keep = QUuid::createUuid();
        const QUuid drop = QUuid::createUuid();
        const QUuid elsewhere = QUuid::createUuid();
        pool.requestAssignment(keep, first);
        pool.requestAssignment(drop, first);
        pool.requestAssignment(elsewhere, second);
        QCOMPARE(pool.runningCount(first), 2);
        QCOMPARE(pool.runningCount(second), 1);
        QCOMPARE(pool.runningCount(QUuid::createUuid()), 0);

        QCOMPARE(pool.pruneAssignments(first, {keep, elsewhere}), 1);
        QVERIFY(!pool.assignedAgentID(drop));
        QVERIFY(pool.assignedAgentID(keep));
        QCOMPARE(pool.pruneAssignments(first, {}), 1);
        QCOMPARE(pool.runningCount(first), 0);
        QCOMPARE(pool.runningCount(second), 1);
        QCOMPARE(pool.activeAgentIDs().size(), 1);
        QCOMPARE(pool.pruneAssignments(first, {}), 0);
    }
};

QTEST_GUILESS_MAIN(WorkerPoolTest)
#include "tst_workerpool.moc"
