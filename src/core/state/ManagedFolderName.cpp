#include "ManagedFolderName.h"

#include "common/Text.h"

QString safeManagedFolderName(const QString &name, const QString &fallback)
{
    QString safe;
    safe.reserve(name.size());
    for (QChar c : name) {
        if (c == u'/' || c == u'\\' || c.category() == QChar::Other_Control || c == QChar(0))
            safe.append(u'-');
        else
            safe.append(c);
    }
    safe = Text::trimmed(safe);
    // Leading dots would hide the folder or climb out of the managed folder.
    while (safe.startsWith(u'.'))
        safe.remove(0, 1);
    safe = Text::trimmed(safe);
    // Folder names are limited to 255 bytes on the common file systems.
    while (safe.toUtf8().size() > 200)
        safe = Text::cutToGraphemes(safe, Text::graphemeCount(safe) - 1);
    if (safe.isEmpty() || safe == QStringLiteral("-"))
        return fallback;
    return safe;
}
