#pragma once

#include <QString>

// A workspace name that arrives from outside (the local web interface, a
// configuration file) made safe to use as one folder name inside the managed
// workspaces folder: no path separators, no "." or "..", no control
// characters, not empty. `fallback` is used when nothing usable is left.
QString safeManagedFolderName(const QString &name, const QString &fallback = QStringLiteral("workspace"));
