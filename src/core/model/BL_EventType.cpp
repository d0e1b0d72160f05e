#include "BL_EventType.h"

namespace {
struct EventTypeName
{
    BL_EventType type;
    const char16_t *raw;
};
constexpr EventTypeName kNames[] = {
    {BL_EventType::taskCreated, u"taskCreated"},
    {BL_EventType::taskModified, u"taskModified"},
    {BL_EventType::taskDeleted, u"taskDeleted"},
    {BL_EventType::taskMoved, u"taskMoved"},
    {BL_EventType::taskDelegated, u"taskDelegated"},
    {BL_EventType::taskAcceptedByWorker, u"taskAcceptedByWorker"},
    {BL_EventType::taskWorkerSpawned, u"taskWorkerSpawned"},
    {BL_EventType::taskActivelyUnderwayByWorker, u"taskActivelyUnderwayByWorker"},
    {BL_EventType::delegationRequested, u"delegationRequested"},
    {BL_EventType::delegationAccepted, u"delegationAccepted"},
    {BL_EventType::delegationRejected, u"delegationRejected"},
    {BL_EventType::workerTaskCompleted, u"workerTaskCompleted"},
    {BL_EventType::workerTaskFailed, u"workerTaskFailed"},
};
} // namespace

QString rawValue(BL_EventType type)
{
    for (const auto &name : kNames)
        if (name.type == type)
            return QString::fromUtf16(name.raw);
    return QString();
}

std::optional<BL_EventType> eventTypeFromRaw(QStringView raw)
{
    for (const auto &name : kNames)
        if (raw == QStringView(name.raw))
            return name.type;
    return std::nullopt;
}

const QList<BL_EventType> &allEventTypes()
{
    static const QList<BL_EventType> all = [] {
        QList<BL_EventType> list;
        for (const auto &name : kNames)
            list.append(name.type);
        return list;
    }();
    return all;
}
