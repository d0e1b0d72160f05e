#pragma once

#include "WebContent.h"

#include <QString>

// Opens the web-engine module on first use and builds web views from it.
namespace WebEngineModule {

// Builds a web view under `parent`; on failure returns null and says why in
// `error` (the module missing, or one of another version).
WebContent *createContent(QWidget *parent, QString *error = nullptr);

// Where the module was found, empty before the first use or on failure.
QString loadedPath();

} // namespace WebEngineModule
