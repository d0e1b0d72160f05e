#include "SymbolIcons.h"

#include <QFileInfo>
#include <QResource>

#include <algorithm>
#include <iterator>

namespace {

struct Entry
{
    const char *symbol;
    const char *theme;
};

// Keep sorted by symbol name: lookups use a binary search.
constexpr Entry kTable[] = {
    {"arrow.clockwise", "view-refresh"},
    {"arrow.down.right.and.arrow.up.left", "view-restore"},
    {"arrow.triangle.branch", "vcs-branch"},
    {"arrow.turn.down.right", "go-next"},
    {"arrow.up.left.and.arrow.down.right", "view-fullscreen"},
    {"bolt.fill", "flash"},
    {"book.fill", "help-contents"},
    {"chart.bar.fill", "office-chart-bar"},
    {"chart.bar.xaxis", "view-statistics"},
    {"checkmark.circle.fill", "dialog-ok-apply"},
    {"chevron.down", "arrow-down"},
    {"chevron.down.square", "go-down"},
    {"chevron.right", "arrow-right"},
    {"chevron.up.square", "go-up"},
    {"doc.on.doc", "edit-copy"},
    {"doc.text.magnifyingglass", "document-preview"},
    {"exclamationmark.triangle", "dialog-warning"},
    {"exclamationmark.triangle.fill", "dialog-warning"},
    {"folder", "folder"},
    {"folder.badge.plus", "folder-new"},
    {"gearshape", "configure"},
    {"gearshape.2.fill", "configure"},
    {"hammer.fill", "run-build"},
    {"heart.text.square", "emblem-favorite"},
    {"line.3.horizontal", "application-menu"},
    {"magnifyingglass", "edit-find"},
    {"minus.circle", "list-remove"},
    {"person.2.fill", "system-users"},
    {"person.2.wave.2.fill", "im-user"},
    {"person.3", "system-users"},
    {"person.3.fill", "system-users"},
    {"person.crop.circle", "user-identity"},
    {"person.crop.circle.badge.clock", "user-away-extended"},
    {"person.crop.circle.fill", "user"},
    {"pin.slash.fill", "window-unpin"},
    {"play.circle", "media-playback-start"},
    {"plus", "list-add"},
    {"plus.circle", "list-add"},
    {"sidebar.right", "view-right-new"},
    {"sidebar.trailing", "view-right-close"},
    {"sparkles", "tools-wizard"},
    {"square.grid.2x2", "view-grid"},
    {"square.split.2x1", "view-split-left-right"},
    {"square.split.2x1.fill", "view-split-left-right"},
    {"square.stack.3d.up.fill", "view-list-details"},
    {"stop.circle", "media-playback-stop"},
    {"stop.fill", "media-playback-stop"},
    {"terminal", "akonadiconsole"},
    {"terminal.fill", "dialog-scripts"},
    {"xmark", "window-close"},
    {"xmark.circle.fill", "dialog-close"},
};

constexpr auto kResourceFile = "/usr/share/icons/breeze-dark/breeze-icons-dark.rcc";
constexpr auto kResourceRoot = "/icons/breeze-dark";

bool tableIsSorted()
{
    return std::is_sorted(std::begin(kTable), std::end(kTable),
        [](const Entry &a, const Entry &b) { return qstrcmp(a.symbol, b.symbol) < 0; });
}

} // namespace

namespace SymbolIcons {

bool registerTheme()
{
    static const bool registered = [] {
        Q_ASSERT(tableIsSorted());
        const QString file = QString::fromLatin1(kResourceFile);
        if (!QFileInfo(file).isFile())
            return false;
        if (!QResource::registerResource(file, QString::fromLatin1(kResourceRoot)))
            return false;
        QIcon::setThemeSearchPaths({QStringLiteral(":/icons")});
        QIcon::setThemeName(QStringLiteral("breeze-dark"));
        return true;
    }();
    return registered;
}

QString themeName(const QString &symbolName)
{
    const QByteArray key = symbolName.toUtf8();
    const auto found = std::lower_bound(std::begin(kTable), std::end(kTable), key,
        [](const Entry &entry, const QByteArray &wanted) { return qstrcmp(entry.symbol, wanted.constData()) < 0; });
    if (found == std::end(kTable) || key != found->symbol)
        return {};
    return QString::fromLatin1(found->theme);
}

QIcon icon(const QString &symbolName)
{
    const QString name = themeName(symbolName);
    return name.isEmpty() ? QIcon() : QIcon::fromTheme(name);
}

QStringList symbolNames()
{
    QStringList names;
    for (const Entry &entry : kTable)
        names.append(QString::fromLatin1(entry.symbol));
    return names;
}

} // namespace SymbolIcons
