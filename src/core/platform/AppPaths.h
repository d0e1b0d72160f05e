#pragma once

#include <QString>

// Where the application keeps its data on this platform.
namespace AppPaths {

// The product's reverse-domain identifier; names the data folder.
inline constexpr const char *kBundleIdentifier = "com.tessaron.app";

// <generic data folder>/com.tessaron.app (not created here).
QString dataDirectory();

} // namespace AppPaths
