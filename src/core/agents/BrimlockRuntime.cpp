#include "BrimlockRuntime.h"

#include "BrimlockProcess.h"
#include "common/Text.h"
#include "platform/AppPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringDecoder>
#include <sys/stat.h>
#include <unistd.h>

namespace BrimlockRuntime {
namespace {

    const QString kBrimlockBinPrefix = QStringLiteral("BRIMLOCK_BIN=");

    QString toolHome(const BrimlockHost &host)
    {
        return host.homeDirectory + QStringLiteral("/.brimlock");
    }

    QString toolBinDirectory(const BrimlockHost &host)
    {
        return toolHome(host) + QStringLiteral("/bin");
    }

    QString joined(const QString &directory, const QString &name)
    {
        return directory.endsWith(u'/') ? directory + name : directory + u'/' + name;
    }

    // An absolute path with "." and ".." segments removed; a relative one is taken
    // against the host's current folder.
    QString absoluteStandardized(const QString &path, const BrimlockHost &host)
    {
        if (QDir::isAbsolutePath(path))
            return QDir::cleanPath(path);
        return QDir::cleanPath(joined(host.currentDirectory, path));
    }

    std::optional<QString> resolveCandidateExecutable(const QString &value, const BrimlockHost &host)
    {
        QString candidate = Text::trimmed(value);
        if (candidate.isEmpty())
            return std::nullopt;
        if (!candidate.contains(u'/') && !candidate.startsWith(u'~'))
            return resolveExecutableOnPATH(candidate, host);
        if (candidate == QStringLiteral("~"))
            candidate = host.homeDirectory;
        else if (candidate.startsWith(QStringLiteral("~/")))
            candidate = host.homeDirectory + candidate.mid(1);
        candidate = absoluteStandardized(candidate, host);
        if (isExecutableFile(candidate))
            return candidate;
        return std::nullopt;
    }

    QStringList bundledBinaryCandidates(const BrimlockHost &host)
    {
        QStringList candidates;
        if (host.executableDirectory)
            candidates.append(joined(*host.executableDirectory, QStringLiteral("brimlock")));
        if (host.resourcesDirectory)
            candidates.append(joined(*host.resourcesDirectory, QStringLiteral("brimlock")));
        return candidates;
    }

    QString defaultBrimlockBinaryPath(const BrimlockHost &host)
    {
        return toolBinDirectory(host) + QStringLiteral("/brimlock");
    }

    QStringList fallbackBrimlockBinaryCandidates(const BrimlockHost &host)
    {
        return {host.homeDirectory + QStringLiteral("/.npm-global/bin/brimlock"),
            host.homeDirectory + QStringLiteral("/.local/bin/brimlock"), QStringLiteral("/opt/homebrew/bin/brimlock"),
            QStringLiteral("/usr/local/bin/brimlock")};
    }

    struct LoginShellBinaryProbe
    {
        std::optional<QString> brimlockBin;
        std::optional<QString> commandV;
    };

    // Asks a zsh login shell for its BRIMLOCK_BIN and for what "command -v brimlock"
    // finds there. The shell reads the null device and its errors go nowhere, so
    // neither a start-up file that waits for input nor one that writes a lot of
    // errors can hold it; a shell that runs past the time limit counts as one
    // that gave no answer.
    LoginShellBinaryProbe loginShellBinaryProbe(const BrimlockHost &host)
    {
        BrimlockProcessRequest request;
        request.program = QStringLiteral("/bin/zsh");
        request.arguments = {QStringLiteral("-lc"),
            QStringLiteral("printf 'BRIMLOCK_BIN=%s\\n' \"${BRIMLOCK_BIN:-}\"; "
                           "command -v brimlock 2>/dev/null || true")};
        QProcessEnvironment environment = host.environment;
        environment.insert(QStringLiteral("HOME"), host.homeDirectory);
        request.environment = environment;
        request.mergeStandardError = false;
        request.timeout = host.loginShellTimeout;
        const BrimlockProcessOutcome outcome = BrimlockProcess::run(request);
        if (!outcome.started || outcome.timedOut)
            return {};

        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decoder.decode(outcome.output);
        if (decoder.hasError())
            return {};
        static const QRegularExpression lineBreaks(QStringLiteral("[\\n\\r\\x{0B}\\x{0C}\\x{85}\\x{2028}\\x{2029}]"));
        LoginShellBinaryProbe probe;
        bool sawBinLine = false;
        for (const QString &rawLine : text.split(lineBreaks)) {
            const QString line = Text::trimmed(rawLine);
            if (line.isEmpty())
                continue;
            if (line.startsWith(kBrimlockBinPrefix)) {
                if (!sawBinLine) {
                    sawBinLine = true;
                    QString value = line;
                    value.remove(kBrimlockBinPrefix);
                    if (!value.isEmpty())
                        probe.brimlockBin = value;
                }
            } else if (!probe.commandV) {
                probe.commandV = line;
            }
        }
        return probe;
    }

    std::optional<QString> normalizedOverrideURL(const QString &variable, const BrimlockHost &host)
    {
        const QString value = Text::trimmed(host.environment.value(variable));
        if (value.isEmpty())
            return std::nullopt;
        return absoluteStandardized(value, host);
    }

    QString applicationSupportBase(const BrimlockHost &host)
    {
        if (!host.applicationSupportDirectory.isEmpty())
            return host.applicationSupportDirectory;
        return host.homeDirectory + QStringLiteral("/.local/share");
    }

    bool existsAt(const QString &path)
    {
        struct stat info;
        return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
    }

    bool copyEntry(const QString &source, const QString &target)
    {
        const QFileInfo info(source);
        if (info.isSymLink()) {
            const QByteArray encoded = QFile::encodeName(source);
            QByteArray buffer(4096, '\0');
            const ssize_t length = ::readlink(encoded.constData(), buffer.data(), size_t(buffer.size()));
            if (length < 0)
                return false;
            buffer.truncate(length);
            return ::symlink(buffer.constData(), QFile::encodeName(target).constData()) == 0;
        }
        if (info.isDir()) {
            if (!QDir().mkdir(target))
                return false;
            const QDir directory(source);
            const QStringList entries = directory.entryList(
                QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
            for (const QString &name : entries) {
                if (!copyEntry(joined(source, name), joined(target, name)))
                    return false;
            }
            return true;
        }
        return QFile::copy(source, target);
    }

    // Copies each top-level entry of `source` that `destination` lacks. Nothing
    // is merged or overwritten; the first failure ends the pass for this source.
    void copyDirectoryContentsIfNeeded(const QString &source, const QString &destination)
    {
        if (!QDir().mkpath(destination))
            return;
        const QDir directory(source);
        if (!directory.exists())
            return;
        const QStringList entries
            = directory.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString &name : entries) {
            const QString target = joined(destination, name);
            if (existsAt(target))
                continue;
            if (!copyEntry(joined(source, name), target))
                return;
        }
    }

    QStringList legacyAppSupportDirectories(const BrimlockHost &host)
    {
        const QString base = applicationSupportBase(host);
        return {joined(base, QLatin1String(kLegacyBundleIdentifier)), joined(base, QStringLiteral("Quillstead")),
            joined(base, QStringLiteral("Ravelbox"))};
    }

    void migrateLegacyStateIfNeeded(const QString &stateDirectory, const BrimlockHost &host)
    {
        if (QFileInfo(toolHome(host)).isDir())
            copyDirectoryContentsIfNeeded(toolHome(host), stateDirectory);
    }

    QString defaultStateDirectory(const BrimlockHost &host)
    {
        const QString directory = joined(defaultAppSupportDirectory(host), QStringLiteral("state"));
        migrateLegacyStateIfNeeded(directory, host);
        return directory;
    }

    QString stateDirectory(const BrimlockHost &host)
    {
        if (const auto overridden = normalizedOverrideURL(QStringLiteral("BRIMLOCK_STATE_DIR"), host))
            return *overridden;
        return defaultStateDirectory(host);
    }

} // namespace

bool isExecutableFile(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QByteArray encoded = QFile::encodeName(path);
    struct stat info;
    if (::stat(encoded.constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    return ::access(encoded.constData(), X_OK) == 0;
}

BrimlockBinaryResolutionDiagnostics brimlockBinaryResolutionDiagnostics(const BrimlockHost &host)
{
    BrimlockBinaryResolutionDiagnostics diagnostics;
    if (host.environment.contains(QStringLiteral("BRIMLOCK_BIN")))
        diagnostics.processBRIMLOCK_BIN = Text::trimmed(host.environment.value(QStringLiteral("BRIMLOCK_BIN")));
    diagnostics.processPATH = host.environment.value(QStringLiteral("PATH"));

    if (diagnostics.processBRIMLOCK_BIN && !diagnostics.processBRIMLOCK_BIN->isEmpty()) {
        diagnostics.checkedPaths.append(QStringLiteral("BRIMLOCK_BIN(process): ") + *diagnostics.processBRIMLOCK_BIN);
        if ((diagnostics.resolvedPath = resolveCandidateExecutable(*diagnostics.processBRIMLOCK_BIN, host)))
            return diagnostics;
    }

    const QStringList fixed = bundledBinaryCandidates(host) + QStringList {defaultBrimlockBinaryPath(host)}
        + fallbackBrimlockBinaryCandidates(host);
    for (const QString &candidate : fixed) {
        diagnostics.checkedPaths.append(candidate);
        if (isExecutableFile(candidate)) {
            diagnostics.resolvedPath = candidate;
            return diagnostics;
        }
    }

    if (const auto onPath = resolveExecutableOnPATH(QStringLiteral("brimlock"), host)) {
        diagnostics.checkedPaths.append(QStringLiteral("PATH(process): ") + *onPath);
        diagnostics.resolvedPath = onPath;
        return diagnostics;
    }

    const LoginShellBinaryProbe probe = loginShellBinaryProbe(host);
    diagnostics.loginShellBRIMLOCK_BIN = probe.brimlockBin;
    diagnostics.loginShellCommandV = probe.commandV;
    if (probe.brimlockBin && !probe.brimlockBin->isEmpty()) {
        diagnostics.checkedPaths.append(QStringLiteral("BRIMLOCK_BIN(login shell): ") + *probe.brimlockBin);
        if ((diagnostics.resolvedPath = resolveCandidateExecutable(*probe.brimlockBin, host)))
            return diagnostics;
    }
    if (probe.commandV && !probe.commandV->isEmpty()) {
        diagnostics.checkedPaths.append(QStringLiteral("command -v brimlock (login shell): ") + *probe.commandV);
        diagnostics.resolvedPath = resolveCandidateExecutable(*probe.commandV, host);
    }
    return diagnostics;
}

std::optional<QString> invocationPrefix(const BrimlockHost &host)
{
    const auto executable = brimlockBinaryResolutionDiagnostics(host).resolvedPath;
    if (!executable)
        return std::nullopt;
    const QString configPath = Text::trimmed(host.environment.value(QStringLiteral("BRIMLOCK_CONFIG_PATH")));
    const QString stateOverride = Text::trimmed(host.environment.value(QStringLiteral("BRIMLOCK_STATE_DIR")));
    if (configPath.isEmpty() && stateOverride.isEmpty())
        return Text::shellSingleQuoted(*executable);
    const QString config = configFileURL(host);
    const QString state = stateDirectory(host);
    return QStringLiteral("BRIMLOCK_CONFIG_PATH=") + Text::shellSingleQuoted(config)
        + QStringLiteral(" BRIMLOCK_STATE_DIR=") + Text::shellSingleQuoted(state) + u' '
        + Text::shellSingleQuoted(*executable);
}

QString configFileURL(const BrimlockHost &host)
{
    if (const auto overridden = normalizedOverrideURL(QStringLiteral("BRIMLOCK_CONFIG_PATH"), host))
        return *overridden;
    return joined(stateDirectory(host), QStringLiteral("brimlock.json"));
}

QStringList shellInvocationArguments(const QString &command, bool preferGhostty, const BrimlockHost &host)
{
    const QString script = QStringLiteral("export PATH=") + Text::shellSingleQuoted(toolBinDirectory(host))
        + QStringLiteral(":$PATH && ") + command;
    QStringList arguments;
    if (preferGhostty)
        arguments << QStringLiteral("TERM=xterm-ghostty") << QStringLiteral("TERM_PROGRAM=ghostty")
                  << QStringLiteral("COLORTERM=truecolor");
    arguments << QStringLiteral("zsh") << QStringLiteral("-lc") << script;
    return arguments;
}

std::optional<QString> resolveExecutableOnPATH(const QString &name, const BrimlockHost &host)
{
    QStringList directories {toolBinDirectory(host)};
    directories += host.environment.value(QStringLiteral("PATH")).split(u':', Qt::SkipEmptyParts);
    for (const QString &directory : directories) {
        const QString candidate = joined(directory, name);
        if (isExecutableFile(candidate))
            return absoluteStandardized(candidate, host);
    }
    return std::nullopt;
}

QString defaultAppSupportDirectory(const BrimlockHost &host)
{
    const QString name = host.bundleIdentifier && !host.bundleIdentifier->isEmpty()
        ? *host.bundleIdentifier
        : QString::fromLatin1(kFallbackDataFolderName);
    return joined(applicationSupportBase(host), name);
}

void migrateLegacyAppDataIfNeeded(const QString &destination, const BrimlockHost &host)
{
    const QStringList sources
        = QStringList {joined(toolHome(host), QStringLiteral("tessaron"))} + legacyAppSupportDirectories(host);
    for (const QString &source : sources) {
        if (QFileInfo(source).isDir())
            copyDirectoryContentsIfNeeded(source, destination);
    }
}

QString appSupportDirectory(const BrimlockHost &host)
{
    const QString directory = defaultAppSupportDirectory(host);
    migrateLegacyAppDataIfNeeded(directory, host);
    return directory;
}

} // namespace BrimlockRuntime

BrimlockHost BrimlockHost::current()
{
    BrimlockHost host;
    host.homeDirectory = QDir::homePath();
    host.applicationSupportDirectory = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    host.bundleIdentifier = QString::fromLatin1(AppPaths::kBundleIdentifier);
    // The running program's own file, read without QCoreApplication so any
    // thread may ask.
    const QString program = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    if (!program.isEmpty()) {
        const QString executableDirectory = QFileInfo(program).absolutePath();
        host.executableDirectory = executableDirectory;
        // An installed program keeps its resources in ../share/tessaron.
        host.resourcesDirectory = QDir::cleanPath(executableDirectory + QStringLiteral("/../share/tessaron"));
    }
    host.currentDirectory = QDir::currentPath();
    host.environment = QProcessEnvironment::systemEnvironment();
    return host;
}
