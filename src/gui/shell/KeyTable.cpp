#include "KeyTable.h"

#include <QKeyEvent>
#include <QVariant>
#include <QWidget>

namespace KeyTable {

const QList<MenuItem> &shortcutsMenu()
{
    static const QList<MenuItem> items = [] {
        QList<MenuItem> list {
            {QStringLiteral("Left Sidebar"), QStringLiteral("leftSidebarAction"), QKeySequence(Qt::CTRL | Qt::Key_B),
                MenuCommand::leftSidebar},
            {QStringLiteral("Terminal"), QStringLiteral("terminalAction"), QKeySequence(Qt::CTRL | Qt::Key_I),
                MenuCommand::terminal},
            {QStringLiteral("New Terminal Tab"), QStringLiteral("newTerminalTabAction"),
                QKeySequence(Qt::CTRL | Qt::Key_T), MenuCommand::newTerminalTab},
            {},
        };
        for (int n = 1; n <= 9; ++n)
            list.append({QStringLiteral("Terminal Tab %1").arg(n), QStringLiteral("terminalTab%1Action").arg(n),
                QKeySequence(Qt::CTRL | Qt::Key(Qt::Key_0 + n)), MenuCommand::terminalTab, n});
        list += QList<MenuItem> {
            {QStringLiteral("Web Preview"), QStringLiteral("webPreviewAction"), QKeySequence(Qt::CTRL | Qt::Key_P),
                MenuCommand::webPreview},
            {QStringLiteral("Focus Web Address Bar"), QStringLiteral("focusWebAddressBarAction"),
                QKeySequence(Qt::CTRL | Qt::Key_L), MenuCommand::focusWebAddressBar},
            {QStringLiteral("Refresh Web Preview"), QStringLiteral("refreshWebPreviewAction"),
                QKeySequence(Qt::CTRL | Qt::Key_R), MenuCommand::refreshWebPreview},
            {},
            {QStringLiteral("Next Workspace"), QStringLiteral("nextWorkspaceAction"),
                QKeySequence(Qt::CTRL | Qt::Key_BracketRight), MenuCommand::nextWorkspace},
            {QStringLiteral("Previous Workspace"), QStringLiteral("previousWorkspaceAction"),
                QKeySequence(Qt::CTRL | Qt::Key_BracketLeft), MenuCommand::previousWorkspace},
        };
        return list;
    }();
    return items;
}

KeyChord KeyChord::from(const QKeyEvent &event)
{
    KeyChord chord;
    chord.key = event.key();
    chord.autoRepeat = event.isAutoRepeat();
    const Qt::KeyboardModifiers modifiers = event.modifiers();
    chord.shift = modifiers.testFlag(Qt::ShiftModifier);
    chord.control = modifiers.testFlag(Qt::ControlModifier);
    chord.option = modifiers.testFlag(Qt::AltModifier);
    chord.meta = modifiers.testFlag(Qt::MetaModifier);
    if (chord.key >= Qt::Key_A && chord.key <= Qt::Key_Z) {
        const QChar letter(u'a' + (chord.key - Qt::Key_A));
        chord.characters = chord.shift ? letter.toUpper() : letter;
    } else if (chord.key >= Qt::Key_Space && chord.key <= Qt::Key_AsciiTilde) {
        chord.characters = QChar(chord.key);
    } else if (const QString text = event.text(); !text.isEmpty() && text.at(0).isPrint()) {
        chord.characters = text;
    }
    return chord;
}

bool isTerminalShortcut(const KeyChord &chord)
{
    if (!chord.control)
        return false;
    if (chord.characters == QStringLiteral("i") || chord.characters == QStringLiteral("t"))
        return true;
    return chord.characters.size() == 1 && chord.characters.at(0) >= u'1' && chord.characters.at(0) <= u'9';
}

static const char *const kTerminalViewProperty = "tessaronTerminalView";

void markAsTerminalView(QWidget &widget)
{
    widget.setProperty(kTerminalViewProperty, true);
}

bool isTerminalView(const QWidget *widget)
{
    for (const QWidget *w = widget; w; w = w->parentWidget())
        if (w->property(kTerminalViewProperty).toBool())
            return true;
    return false;
}

} // namespace KeyTable
