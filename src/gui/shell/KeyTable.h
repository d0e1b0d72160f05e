#pragma once

#include <QKeySequence>
#include <QList>
#include <QString>
#include <Qt>

class QKeyEvent;
class QWidget;

// The one table of the window's keys: the "Shortcuts" menu and the rules the
// window's key handling applies before any view or menu sees a key press.
// Command maps to Ctrl, Option to Alt and Control to Ctrl.
namespace KeyTable {

// The menu's commands.
enum class MenuCommand {
    leftSidebar,
    terminal,
    newTerminalTab,
    terminalTab, // with its number 1 to 9
    webPreview,
    focusWebAddressBar,
    refreshWebPreview,
    nextWorkspace,
    previousWorkspace,
};

struct MenuItem
{
    QString label; // empty: a separator
    QString objectName;
    QKeySequence shortcut;
    MenuCommand command = MenuCommand::leftSidebar;
    int tabNumber = 0; // for `terminalTab`
};

// "Shortcuts", top to bottom, separators included.
const QList<MenuItem> &shortcutsMenu();
inline const QString shortcutsMenuTitle = QStringLiteral("Shortcuts");

// A key press as the rules see it.
struct KeyChord
{
    int key = 0;
    bool autoRepeat = false;
    bool shift = false;
    bool control = false; // Command and Control alike
    bool option = false;
    bool meta = false;
    // The key's character, Shift deciding letter case; empty for keys without one.
    QString characters;

    static KeyChord from(const QKeyEvent &event);
    bool noModifiers() const { return !shift && !control && !option && !meta; }
    bool onlyOption() const { return option && !shift && !control && !meta; }
    bool isReturn() const { return key == Qt::Key_Return || key == Qt::Key_Enter; }
};

// The window's own key rules, in the order they are tried.
enum class Rule {
    none,
    voiceHotkey, // 1: Alt+Space toggles dictation
    submitAfterTranscript, // 2: Return while transcribing
    cancelCapture, // 3: Escape while the dictation overlay shows
    historySheetKeys, // 4: arrows and Return in the history sheet
    composerEscape, // 5: the composer handles Escape
    taskDetailEscape, // 6: the task detail handles Escape
    hideWebPreview, // 7: Escape hides the shown workspace's web preview
    toggleWebPreview, // 8: Ctrl+P
    focusWebAddressBar, // 9: Ctrl+L
    refreshWebPreview, // 10: Ctrl+R with a web preview shown
    toggleTerminal, // 11: Ctrl+I
    newTerminalTab, // 12: Ctrl+T
    selectTerminalTab, // 13: Ctrl+1 … Ctrl+9
    commandHistory, // 14: Ctrl+R with the process-backed command line shown
    terminalGetsChord, // a focused terminal takes every other chord
    newQueuedTask, // Ctrl+/: the shown board's composer for a new queued task
};

// The terminal shortcuts a focused terminal leaves to the window.
bool isTerminalShortcut(const KeyChord &chord);
// Marks a widget as a terminal view, which gets every chord but those.
void markAsTerminalView(QWidget &widget);
bool isTerminalView(const QWidget *widget);

} // namespace KeyTable
