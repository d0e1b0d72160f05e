#include "TestSupport.h"
#include "common/Actor.h"
#include "common/Background.h"
#include "common/Cancellation.h"

#include <QCoroFuture>
#include <QCoroTimer>
#include <QTimer>
#include <QtTest>

using namespace std::chrono_literals;

class ConcurrencyTest : public QObject
{
    Q_OBJECT

private slots:
    void callRunsOnTheActorThread()
    {
        Actor actor(QStringLiteral("test.actor"));
        QThread *ranOn = nullptr;
        auto future = actor.call([&] {
            ranOn = QThread::currentThread();
            return 7;
        });
        QVERIFY(TestSupport::waitForFuture(future));
        QCOMPARE(future.result(), 7);
        QCOMPARE(ranOn, actor.thread());
        QVERIFY(ranOn != QThread::currentThread());
    }

    void coroutineRunsInterleaveAtAwaits()
    {
        Actor actor(QStringLiteral("test.actor"));
        auto log = std::make_shared<QStringList>(); // touched only on the actor thread
        auto step = [log](QString name) -> QCoro::Task<int> {
            log->append(name + QStringLiteral(":start"));
            QTimer timer;
            timer.setSingleShot(true);
            timer.start(30ms);
            co_await timer;
            log->append(name + QStringLiteral(":end"));
            co_return 1;
        };
        auto first = actor.call([=] { return step(QStringLiteral("a")); });
        auto second = actor.call([=] { return step(QStringLiteral("b")); });
        QVERIFY(TestSupport::waitForFuture(first));
        QVERIFY(TestSupport::waitForFuture(second));
        auto snapshot = actor.call([log] { return *log; });
        QVERIFY(TestSupport::waitForFuture(snapshot));
        QCOMPARE(snapshot.result(), (QStringList {"a:start", "b:start", "a:end", "b:end"}));
    }

    void mainThreadCoroutineResumesOnMainThread()
    {
        Actor actor(QStringLiteral("test.actor"));
        QThread *resumedOn = nullptr;
        int value = 0;
        auto flow = [&]() -> QCoro::Task<> {
            auto pending = actor.call([] { return 41; });
            value = co_await pending;
            resumedOn = QThread::currentThread();
        };
        flow();
        QVERIFY(TestSupport::waitUntil([&] { return resumedOn != nullptr; }));
        QCOMPARE(resumedOn, QThread::currentThread());
        QCOMPARE(value, 41);
    }

    void exceptionsReachTheFuture()
    {
        Actor actor(QStringLiteral("test.actor"));
        auto future = actor.call([]() -> int { throw CancelledError(); });
        QVERIFY(TestSupport::waitUntil([&] { return future.isFinished(); }));
        QVERIFY_THROWS_EXCEPTION(CancelledError, future.result());
    }

    void cancellationTokenIsShared()
    {
        CancellationToken token;
        const CancellationToken copy = token;
        QVERIFY(!copy.isCancelled());
        token.cancel();
        QVERIFY(copy.isCancelled());
        QVERIFY_THROWS_EXCEPTION(CancelledError, copy.throwIfCancelled());
        QVERIFY(!(CancellationToken() == token));
    }

    void backgroundResultArrivesOnContextThread()
    {
        QObject context;
        QThread *jobThread = nullptr;
        QThread *doneThread = nullptr;
        int result = 0;
        Background::run(
            [&] {
                jobThread = QThread::currentThread();
                return 5;
            },
            &context,
            [&](int value) {
                doneThread = QThread::currentThread();
                result = value;
            });
        QVERIFY(TestSupport::waitUntil([&] { return doneThread != nullptr; }));
        QCOMPARE(result, 5);
        QCOMPARE(doneThread, QThread::currentThread());
        QVERIFY(jobThread != QThread::currentThread());
    }

    void backgroundResultDroppedWhenContextIsGone()
    {
        auto context = std::make_unique<QObject>();
        bool delivered = false;
        QSemaphore release;
        Background::run([&] { release.acquire(); }, context.get(), [&] { delivered = true; });
        context.reset();
        release.release();
        QThreadPool::globalInstance()->waitForDone();
        TestSupport::drainMainThread();
        QVERIFY(!delivered);
    }
};

QTEST_GUILESS_MAIN(ConcurrencyTest)
#include "tst_concurrency.moc"
