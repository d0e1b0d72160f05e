#include "TestSupport.h"
#include "common/Actor.h"
#include "common/CoroutineScope.h"
#include "common/FutureResult.h"
#include "common/InFlight.h"
#include "common/MainThreadQueue.h"

#include <QCoroTimer>
#include <QPromise>
#include <QSet>
#include <QTimer>
#include <QUuid>
#include <QtTest>
#include <atomic>
#include <stdexcept>

using namespace std::chrono_literals;

namespace {

QCoro::Task<> sleepFor(std::chrono::milliseconds interval)
{
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(interval);
    co_await timer;
}

} // namespace

class AsyncToolkitTest : public QObject
{
    Q_OBJECT

private slots:
    void spawnedErrorsAreLoggedAndCounted_data()
    {
        QTest::addColumn<bool>("cancelled");
        QTest::newRow("an error is a warning") << false;
        QTest::newRow("a cancellation is quiet") << true;
    }
    void spawnedErrorsAreLoggedAndCounted()
    {
        QFETCH(bool, cancelled);
        CoroutineScope scope(QStringLiteral("test.scope"));
        bool ended = false;
        auto failing = [](bool cancelled, bool *ended) -> QCoro::Task<> {
            co_await sleepFor(10ms);
            *ended = true;
            if (cancelled)
                throw CancelledError();
            throw std::runtime_error("disk on fire");
        };
        if (!cancelled)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("test.scope.*disk on fire")));
        scope.spawn(failing(cancelled, &ended));
        QCOMPARE(scope.runningCount(), 1);
        QVERIFY(TestSupport::waitUntil([&] { return scope.runningCount() == 0; }));
        QVERIFY(ended);
    }

    // The owner's shutdown cancels the coroutines' token, waits for them to
    // end and stops the thread; later calls end cancelled at once.
    void actorShutdownEndsItsCoroutines()
    {
        Actor actor(QStringLiteral("test.actor"));
        auto sawCancellation = std::make_shared<std::atomic<bool>>(false);
        auto started = std::make_shared<std::atomic<bool>>(false);
        const CancellationToken token = actor.shutdownToken();
        auto waiting = actor.call([token, sawCancellation, started]() -> QCoro::Task<int> {
            *started = true;
            while (!token.isCancelled())
                co_await sleepFor(5ms);
            *sawCancellation = true;
            co_return 1;
        });
        QVERIFY(TestSupport::waitUntil([&] { return started->load(); }));
        QVERIFY(actor.shutdown(5s));
        QVERIFY(*sawCancellation);
        QVERIFY(waiting.isFinished());
        QCOMPARE(waiting.result(), 1);

        const QFuture<int> late = actor.call([] { return 2; });
        QVERIFY(late.isFinished());
        QVERIFY(late.isCanceled());
    }

    // A call posted before the shutdown still runs, and a coroutine it starts
    // is waited for like the others.
    void actorShutdownRunsCallsPostedBefore()
    {
        Actor actor(QStringLiteral("test.actor"));
        const CancellationToken token = actor.shutdownToken();
        auto busy = actor.call([] { QThread::msleep(50); });
        auto queued = actor.call([token]() -> QCoro::Task<int> {
            co_await sleepFor(5ms);
            while (!token.isCancelled())
                co_await sleepFor(5ms);
            co_return 2;
        });
        QVERIFY(actor.shutdown(5s));
        QVERIFY(actor.shutdown(5s)); // again: the thread has ended, nothing to wait for
        QVERIFY(busy.isFinished() && !busy.isCanceled());
        QVERIFY(queued.isFinished());
        QCOMPARE(queued.result(), 2);
    }

    void actorShutdownGivesUpAfterItsLimit()
    {
#ifdef __SANITIZE_ADDRESS__
        QSKIP("leaves the stuck coroutine's frame behind on purpose");
#endif
        Actor actor(QStringLiteral("test.actor"));
        auto stuck = std::make_shared<QPromise<void>>();
        stuck->start();
        QFuture<void> never = stuck->future();
        auto started = std::make_shared<std::atomic<bool>>(false);
        auto waiting = actor.call([never, started]() -> QCoro::Task<> {
            *started = true;
            co_await futureResult(never);
        });
        QVERIFY(TestSupport::waitUntil([&] { return started->load(); }));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("stopped waiting for 1 coroutines")));
        QVERIFY(!actor.shutdown(50ms));
        // Released afterwards, the coroutine stays where it is (its thread is gone).
        stuck->finish();
    }

    void futureResultOfACancelledFutureThrows()
    {
        QFuture<int> cancelled;
        {
            QPromise<int> promise;
            promise.start();
            cancelled = promise.future();
        } // goes unfinished: cancelled
        bool threw = false;
        auto flow = [](QFuture<int> future, bool *threw) -> QCoro::Task<> {
            try {
                (void)co_await futureResult(future);
            } catch (const CancelledError &) {
                *threw = true;
            }
        };
        QCoro::Task<> running = flow(cancelled, &threw);
        QVERIFY(TestSupport::waitUntil([&] { return threw; }));
    }

    void mainThreadQueueRunsInOrderFromAnyThread()
    {
        MainThreadQueue queue;
        QStringList ran;
        QThread *ranOn = nullptr;
        Actor actor(QStringLiteral("test.actor"));
        auto posted = actor.call([&queue, &ran, &ranOn] {
            (void)queue.run([&ran] { ran.append(QStringLiteral("first")); });
            return queue.run([&ran, &ranOn] {
                ran.append(QStringLiteral("second"));
                ranOn = QThread::currentThread();
            });
        });
        QVERIFY(TestSupport::waitForFuture(posted));
        const QFuture<void> second = posted.result();
        QVERIFY(TestSupport::waitForFuture(second));
        QVERIFY(!second.isCanceled());
        QCOMPARE(ran, (QStringList {QStringLiteral("first"), QStringLiteral("second")}));
        QCOMPARE(ranOn, QThread::currentThread());

        // On the main thread itself the work runs at once.
        const QFuture<void> direct = queue.run([&ran] { ran.append(QStringLiteral("direct")); });
        QVERIFY(direct.isFinished());
        QCOMPARE(ran.last(), QStringLiteral("direct"));
    }

    void closedMainThreadQueueDropsWork()
    {
        MainThreadQueue queue;
        bool ran = false;
        Actor actor(QStringLiteral("test.actor"));
        auto posted = actor.call([&queue, &ran] { return queue.run([&ran] { ran = true; }); });
        posted.waitForFinished();
        const QFuture<void> queued = posted.result();
        queue.close(); // before the main thread had a turn
        QVERIFY(queued.isFinished());
        QVERIFY(queued.isCanceled());
        const QFuture<void> later = queue.run([&ran] { ran = true; });
        QVERIFY(later.isCanceled());
        TestSupport::drainMainThread();
        QVERIFY(!ran);
        QVERIFY(queue.isClosed());
    }

    void inFlightMarksClearWhenTheScopeEnds()
    {
        bool refreshing = false;
        QSet<QUuid> inFlight;
        const QUuid id = QUuid::createUuid();
        int changes = 0;
        {
            InFlight flag(refreshing, [&] { ++changes; });
            InFlightEntry<QUuid> entry(inFlight, id, [&] { ++changes; });
            QVERIFY(refreshing);
            QVERIFY(inFlight.contains(id));
            QCOMPARE(changes, 2);
        }
        QVERIFY(!refreshing);
        QVERIFY(inFlight.isEmpty());
        QCOMPARE(changes, 4);
        try {
            InFlight flag(refreshing);
            throw std::runtime_error("thrown");
        } catch (const std::exception &) {
        }
        QVERIFY(!refreshing);
    }
};

QTEST_GUILESS_MAIN(AsyncToolkitTest)
#include "tst_asynctoolkit.moc"
