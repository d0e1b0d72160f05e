#pragma once

#include "model/BLEventBus.h"
#include "model/BoardTaskLookup.h"
#include "model/UserNotificationCenter.h"

#include <QObject>
#include <QPointer>
#include <QUuid>
#include <functional>
#include <memory>
#include <vector>

// Posts a "Task Completed" desktop notification whenever a worker finishes a
// task or a task is moved into the completed column. It listens on the bus
// on a later turn of the main event loop, so it reads the board after the
// publishing call and any nested publications have finished. Its only other
// output is a few lines on standard output.
class NotificationManager final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NotificationManager)

public:
    using LineSink = std::function<void(const QString &line)>;

    // `appState` bounds the life of `taskLookup` (the application state is
    // both); once it is gone, events are ignored. The manager owns `center`.
    NotificationManager(BLEventBus &eventBus, QObject *appState, const BoardTaskLookup *taskLookup,
        std::unique_ptr<UserNotificationCenter> center, LineSink printLine = standardOutput(),
        QObject *parent = nullptr);
    ~NotificationManager() override;

    // Asks once for permission; the outcome is only printed.
    void requestAuthorization();
    // Subscribes to the bus with delivery on the main event loop.
    void setupEventSubscription();

    void handleEvent(const BL_Event &event);
    void postNotification(const QUuid &taskID, const QUuid &projectID);

    // The notification body for a task input: its "title" text, else
    // "Task completed".
    static QString bodyForTaskInput(const QByteArray &inputData);
    // Writes each line to the process's standard output at once.
    static LineSink standardOutput();

private:
    BLEventBus &m_eventBus;
    std::vector<BLEventSubscription> m_cancellables;
    QPointer<QObject> m_appState;
    const BoardTaskLookup *m_taskLookup;
    std::unique_ptr<UserNotificationCenter> m_center;
    LineSink m_printLine;
};
