#pragma once

#include <QObject>
#include <QString>
#include <QVariant>

// The five in-process notifications of the "Shortcuts" menu. One object for
// the whole process; posting delivers synchronously to every receiver.
class ShortcutNotifications final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ShortcutNotifications)

public:
    static inline const QString toggleTerminalShortcut = QStringLiteral("tessaron.toggleTerminalShortcut");
    static inline const QString newTerminalTabShortcut = QStringLiteral("tessaron.newTerminalTabShortcut");
    static inline const QString selectTerminalTabShortcut = QStringLiteral("tessaron.selectTerminalTabShortcut");
    static inline const QString toggleWebPreviewShortcut = QStringLiteral("tessaron.toggleWebPreviewShortcut");
    static inline const QString focusWebPreviewShortcut = QStringLiteral("tessaron.focusWebPreviewShortcut");

    static ShortcutNotifications &shared();

    // Posts the notification `name` with an optional object (the tab index
    // of the select-tab notification).
    void post(const QString &name, const QVariant &object = QVariant());

signals:
    void posted(const QString &name, const QVariant &object);

private:
    ShortcutNotifications() = default;
};
