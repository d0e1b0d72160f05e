#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>

// What the Brimlock runtime asks of the platform and the running process.
// current() reads the real ones; tests build their own.
struct BrimlockHost
{
    QString homeDirectory; // H
    QString applicationSupportDirectory; // the user's data folder; empty: H/.local/share
    std::optional<QString> bundleIdentifier;
    std::optional<QString> executableDirectory; // folder of the running program
    std::optional<QString> resourcesDirectory; // the program's shared resources
    QString currentDirectory; // relative candidates are taken against it
    QProcessEnvironment environment;
    // A login shell whose start-up files hang must not hold the search forever.
    std::chrono::milliseconds loginShellTimeout = std::chrono::seconds(30);

    static BrimlockHost current();
};

// The record of one executable search.
struct BrimlockBinaryResolutionDiagnostics
{
    std::optional<QString> resolvedPath;
    std::optional<QString> processBRIMLOCK_BIN; // trimmed; empty text when set to blanks
    QString processPATH;
    std::optional<QString> loginShellBRIMLOCK_BIN;
    std::optional<QString> loginShellCommandV;
    QStringList checkedPaths; // every candidate tried, in order
};

// Where the Brimlock tool lives and how its command lines start. Nothing is
// kept between calls: every call looks again.
namespace BrimlockRuntime {

// The data folder's name when the process has no bundle identifier.
inline constexpr const char *kFallbackDataFolderName = "com.tessaron.desktop";
// The identifier of the installations whose data folder is migrated first.
inline constexpr const char *kLegacyBundleIdentifier = "com.tessaron.app";

BrimlockBinaryResolutionDiagnostics brimlockBinaryResolutionDiagnostics(
    const BrimlockHost &host = BrimlockHost::current());

// The shell fragment every Brimlock command line begins with: the quoted
// executable, with the configuration and state locations in front of it when
// the environment overrides either. Absent when no executable is found.
std::optional<QString> invocationPrefix(const BrimlockHost &host = BrimlockHost::current());

// The tool's configuration file.
QString configFileURL(const BrimlockHost &host = BrimlockHost::current());

// The arguments of "/usr/bin/env" that run `command` in a zsh login shell with
// H/.brimlock/bin first on PATH; `preferGhostty` also sets the terminal variables.
QStringList shellInvocationArguments(
    const QString &command, bool preferGhostty, const BrimlockHost &host = BrimlockHost::current());

// The first executable file `name` in H/.brimlock/bin or on PATH.
std::optional<QString> resolveExecutableOnPATH(const QString &name, const BrimlockHost &host = BrimlockHost::current());

// The application data directory (not created).
QString defaultAppSupportDirectory(const BrimlockHost &host = BrimlockHost::current());

// Copies the top-level entries of older installations into `destination`
// wherever no entry of that name exists yet. Never fails.
void migrateLegacyAppDataIfNeeded(const QString &destination, const BrimlockHost &host = BrimlockHost::current());

// The application data directory after the legacy copy pass; the one way every
// component reaches it. Callers create it where they need it.
QString appSupportDirectory(const BrimlockHost &host = BrimlockHost::current());

// Whether `path` is a regular file this process may execute.
bool isExecutableFile(const QString &path);

} // namespace BrimlockRuntime
