#include "NotificationManager.h"

#include "common/Json.h"
#include "common/UuidText.h"

#include <cstdio>

NotificationManager::NotificationManager(BLEventBus &eventBus, QObject *appState, const BoardTaskLookup *taskLookup,
    std::unique_ptr<UserNotificationCenter> center, LineSink printLine, QObject *parent)
    : QObject(parent),
      m_eventBus(eventBus),
      m_appState(appState),
      m_taskLookup(taskLookup),
      m_center(std::move(center)),
      m_printLine(std::move(printLine))
{
}

NotificationManager::~NotificationManager() = default;

void NotificationManager::requestAuthorization()
{
    // The handler may run after the manager is gone; it holds only the sink.
    m_center->requestAuthorization([print = m_printLine](bool granted, const std::optional<QString> &error) {
        if (error)
            print(QStringLiteral("Error requesting notification authorization: ") + *error);
        else if (granted)
            print(QStringLiteral("Notification authorization granted."));
        else
            print(QStringLiteral("Notification authorization denied."));
    });
}

void NotificationManager::setupEventSubscription()
{
    QPointer<NotificationManager> self(this);
    m_cancellables.push_back(m_eventBus.subscribeOnMainLoop([self](const BL_Event &event) {
        if (self)
            self->handleEvent(event);
    }));
}

void NotificationManager::handleEvent(const BL_Event &event)
{
    if (!m_appState)
        return;
    switch (event.type) {
    case BL_EventType::workerTaskCompleted:
        postNotification(event.taskID, event.projectID);
        return;
    case BL_EventType::taskMoved:
        if (const auto moved = event.decodePayload<BL_TaskMovedPayload>();
            moved && moved->toStatus == BL_TaskStatus::completed)
            postNotification(event.taskID, event.projectID);
        return;
    default:
        return;
    }
}

void NotificationManager::postNotification(const QUuid &taskID, const QUuid &projectID)
{
    if (!m_appState || !m_taskLookup)
        return;
    const std::optional<BL_Task> task = m_taskLookup->boardTask(projectID, taskID);
    if (!task)
        return;
    UserNotificationRequest request;
    request.identifier = UuidText::upper(taskID);
    request.title = QStringLiteral("Task Completed");
    request.body = bodyForTaskInput(task->inputData);
    request.playsDefaultSound = true;
    m_center->add(request, [print = m_printLine](const std::optional<QString> &error) {
        if (error)
            print(QStringLiteral("Error posting notification: ") + *error);
    });
}

QString NotificationManager::bodyForTaskInput(const QByteArray &inputData)
{
    if (const auto input = Json::parseObject(inputData)) {
        const QJsonValue title = input->value(QStringLiteral("title"));
        if (title.isString())
            return title.toString();
    }
    return QStringLiteral("Task completed");
}

NotificationManager::LineSink NotificationManager::standardOutput()
{
    return [](const QString &line) {
        const QByteArray bytes = line.toUtf8() + '\n';
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
        std::fflush(stdout);
    };
}
