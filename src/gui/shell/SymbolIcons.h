#pragma once

#include <QIcon>
#include <QString>
#include <QStringList>

// The one table from the symbol names the views use ("plus", "trash", …) to
// icons of the Breeze dark theme. Every view asks here; no view names a theme
// icon of its own.
namespace SymbolIcons {

// Registers the Breeze dark resource file under ":/icons/breeze-dark" and makes
// it the icon theme. Safe to call more than once; false when the file is missing
// (icons then come out null and views show their text alone).
bool registerTheme();

// The theme icon name for a symbol name, or an empty text when the table has none.
QString themeName(const QString &symbolName);

// The icon for a symbol name; a null icon for a name the table does not know.
QIcon icon(const QString &symbolName);

// Every symbol name in the table, sorted.
QStringList symbolNames();

} // namespace SymbolIcons
