#include "AppPaths.h"

#include <QStandardPaths>

namespace AppPaths {

QString dataDirectory()
{
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty())
        return QString();
    return base + u'/' + QLatin1String(kBundleIdentifier);
}

} // namespace AppPaths
