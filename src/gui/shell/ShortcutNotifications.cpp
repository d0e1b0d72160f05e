#include "ShortcutNotifications.h"

ShortcutNotifications &ShortcutNotifications::shared()
{
    static ShortcutNotifications center;
    return center;
}

void ShortcutNotifications::post(const QString &name, const QVariant &object)
{
    emit posted(name, object);
}
