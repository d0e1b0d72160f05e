#include "TestSupport.h"
#include "board/SystemEventWatcher.h"
#include "model/BLEventBus.h"

#include <QtTest>
#include <memory>

namespace {
const QUuid kProject = QUuid(QStringLiteral("9e1f2a3b-4c5d-4e6f-8a9b-0c1d2e3f4a5b"));
const QUuid kTask = QUuid(QStringLiteral("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"));
} // namespace

class SystemEventWatcherTest : public QObject
{
    Q_OBJECT

private slots:
    // Every event type against both callbacks: only the two worker results
    // reach one, each its own.
    void eachEventTypeReachesItsCallback_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QStringList>("expected");
        const QString call = QStringLiteral("(%1, %2)").arg(kProject.toString(), kTask.toString());
        for (const BL_EventType type : allEventTypes()) {
            QStringList expected;
            if (type == BL_EventType::workerTaskCompleted)
                expected << "done " + call;
            if (type == BL_EventType::workerTaskFailed)
                expected << "failed " + call;
            QTest::newRow(qPrintable(rawValue(type))) << rawValue(type) << expected;
        }
    }

    void eachEventTypeReachesItsCallback()
    {
        QFETCH(QString, type);
        QFETCH(QStringList, expected);
        BLEventBus bus;
        SystemEventWatcher watcher(bus);
        QStringList calls;
        watcher.setOnTaskAutoMoveToDone([&](const QUuid &project, const QUuid &task) {
            calls << QStringLiteral("done (%1, %2)").arg(project.toString(), task.toString());
        });
        watcher.setOnTaskAutoMoveToFailed([&](const QUuid &project, const QUuid &task) {
            calls << QStringLiteral("failed (%1, %2)").arg(project.toString(), task.toString());
        });
        // The payload is never read: one that does not fit changes nothing.
        BL_Event event = BL_Event::make(*eventTypeFromRaw(type), kProject, kTask);
        event.payload = QByteArrayLiteral("not json");
        bus.send(event);
        QCOMPARE(calls, expected);
    }

    // As the application builds it: no callback set, the worker results pass
    // by and the other subscribers get them as usual.
    void withoutCallbacksEveryEventIsPassedOver()
    {
        BLEventBus bus;
        int before = 0;
        int after = 0;
        BLEventSubscription first = bus.subscribe([&](const BL_Event &) { ++before; });
        SystemEventWatcher watcher(bus);
        BLEventSubscription third = bus.subscribe([&](const BL_Event &) { ++after; });
        QVERIFY(!watcher.onTaskAutoMoveToDone() && !watcher.onTaskAutoMoveToFailed());
        bus.send(BL_Event::make(BL_EventType::workerTaskCompleted, kProject, kTask));
        bus.send(BL_Event::make(BL_EventType::workerTaskFailed, kProject, kTask));
        QCOMPARE(before, 2);
        QCOMPARE(after, 2);
    }

    void aCallbackSetLaterIsUsedByTheNextEvent()
    {
        BLEventBus bus;
        SystemEventWatcher watcher(bus);
        QStringList calls;
        bus.send(BL_Event::make(BL_EventType::workerTaskCompleted, kProject, kTask));
        watcher.setOnTaskAutoMoveToDone([&](const QUuid &, const QUuid &) { calls << "first"; });
        bus.send(BL_Event::make(BL_EventType::workerTaskCompleted, kProject, kTask));
        watcher.setOnTaskAutoMoveToDone([&](const QUuid &, const QUuid &) { calls << "second"; });
        bus.send(BL_Event::make(BL_EventType::workerTaskCompleted, kProject, kTask));
        watcher.setOnTaskAutoMoveToDone({});
        bus.send(BL_Event::make(BL_EventType::workerTaskCompleted, kProject, kTask));
        QCOMPARE(calls, (QStringList {"first", "second"}));
    }

    void releasingTheWatcherEndsItsSubscription()
    {
        BLEventBus bus;
        int calls = 0;
        auto watcher = std::make_unique<SystemEventWatcher>(bus);
        watcher->setOnTaskAutoMoveToDone([&](const QUuid &, const QUuid &) { ++calls; });
        bus.send(BL_Event::make(BL_EventType::workerTaskCompleted, kProject, kTask));
        watcher.reset();
        bus.send(BL_Event::make(BL_EventType::workerTaskCompleted, kProject, kTask));
        QCOMPARE(calls, 1);
    }

    // The owner may drop the watcher from inside a callback, or from an
    // earlier subscriber while the same event is being delivered.
    void releasingTheWatcherDuringDelivery()
    {
        BLEventBus bus;
        int calls = 0;
        std::unique_ptr<SystemEventWatcher> watcher;
        BLEventSubscription first = bus.subscribe([&](const BL_Event &event) {
            if (event.type == BL_EventType::workerTaskFailed)
                watcher.reset();
        });
        watcher = std::make_unique<SystemEventWatcher>(bus);
        watcher->setOnTaskAutoMoveToDone([&](const QUuid &, const QUuid &) {
            ++calls;
            watcher->setOnTaskAutoMoveToDone({});
            watcher.reset();
        });
        watcher->setOnTaskAutoMoveToFailed([&](const QUuid &, const QUuid &) { ++calls; });
        bus.send(BL_Event::make(BL_EventType::workerTaskCompleted, kProject, kTask));
        QVERIFY(!watcher);
        QCOMPARE(calls, 1);

        watcher = std::make_unique<SystemEventWatcher>(bus);
        watcher->setOnTaskAutoMoveToFailed([&](const QUuid &, const QUuid &) { ++calls; });
        bus.send(BL_Event::make(BL_EventType::workerTaskFailed, kProject, kTask));
        QVERIFY(!watcher);
        QCOMPARE(calls, 1);
    }
};

QTEST_GUILESS_MAIN(SystemEventWatcherTest)
#include "tst_systemeventwatcher.moc"
