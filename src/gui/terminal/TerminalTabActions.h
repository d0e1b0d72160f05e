#pragma once

#include <QString>
#include <QUuid>

#include <optional>

class MainWindowState;

// The window's answers to a terminal tab's events and the tab operations
// that draw nothing: each reads the terminal state, applies one change and
// stores it back. GUI thread only.
namespace TerminalTabActions {

void clearTerminalEventIgnore(MainWindowState &state, const QUuid &workspaceID, const QString &tabID);
// True while the tab's ignore window is open; a passed date closes it.
bool shouldIgnoreTerminalEvent(MainWindowState &state, const QUuid &workspaceID, const QString &tabID);
void syncActiveTerminalTabWithUserInteraction(MainWindowState &state, const QUuid &workspaceID, const QString &tabID);

void handleCommandSubmitted(MainWindowState &state, const QUuid &workspaceID, const QString &tabID);
void handleOutputActivity(MainWindowState &state, const QUuid &workspaceID, const QString &tabID);
void handleCommandFinished(MainWindowState &state, const QUuid &workspaceID, const QString &tabID);
void handleUserInputActivity(MainWindowState &state, const QUuid &workspaceID, const QString &tabID);

// Chip and drop actions of the panel.
void selectTab(MainWindowState &state, const QUuid &workspaceID, const QString &tabID, bool snapLayoutEnabled);
void toggleSnap(MainWindowState &state, const QUuid &workspaceID, const QString &tabID);
void closeTab(MainWindowState &state, const QUuid &workspaceID, const QString &tabID);
void unsnapTab(MainWindowState &state, const QUuid &workspaceID, const QString &tabID);

// The drag payload of a tab chip and its drop: true when a tab of the
// workspace was taken into the snap area.
QString dragItem(const QUuid &workspaceID, const QString &tabID);
bool handleDrop(MainWindowState &state, const QStringList &items, const QUuid &workspaceID);

// Height of the embedded panel's terminal area: 540 when unset, clamped to
// 240…1200 on read and write.
double terminalHeight(const MainWindowState &state, const QUuid &workspaceID);
void setTerminalHeight(MainWindowState &state, const QUuid &workspaceID, double height);

} // namespace TerminalTabActions
