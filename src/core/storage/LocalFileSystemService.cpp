#include "LocalFileSystemService.h"

#include "storage/RegularFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cerrno>
#include <dirent.h>

namespace {

const QString kBrimlockFolder = QStringLiteral(".brimlock");
const QString kTasksFolder = QStringLiteral("tasks");
const QString kConfigName = QStringLiteral("brimlock.json");

QString child(const QString &folder, const QString &name)
{
    return QDir::cleanPath(folder + u'/' + name);
}

bool exists(const QString &path)
{
    return QFileInfo::exists(path);
}

// The names of a folder's direct entries that are not hidden, in name order.
// Reads the folder itself so that a folder that cannot be listed is reported
// rather than taken for an empty one.
Result<QStringList> visibleEntries(const QString &folder)
{
    DIR *directory = ::opendir(QFile::encodeName(folder).constData());
    if (!directory) {
        const int code = errno;
        return Error::make(
            QStringLiteral("The folder \"%1\" could not be listed: %2").arg(folder, qt_error_string(code)));
    }
    QList<QByteArray> names;
    errno = 0;
    while (const dirent *entry = ::readdir(directory)) {
        if (entry->d_name[0] != '.')
            names.append(QByteArray(entry->d_name));
        errno = 0;
    }
    const int code = errno;
    ::closedir(directory);
    if (code != 0) {
        return Error::make(
            QStringLiteral("The folder \"%1\" could not be listed: %2").arg(folder, qt_error_string(code)));
    }
    std::sort(names.begin(), names.end());
    QStringList paths;
    paths.reserve(names.size());
    for (const QByteArray &name : std::as_const(names))
        paths.append(child(folder, QFile::decodeName(name)));
    return paths;
}

QString taskFolder(const QString &rootPath)
{
    const QString preferred = child(rootPath, kBrimlockFolder + u'/' + kTasksFolder);
    return exists(preferred) ? preferred : child(rootPath, kTasksFolder);
}

} // namespace

Result<BL_WorkspaceConfig> LocalFileSystemService::initializeProject(
    const QString &rootPath, const QString &name, qint64 agentCount) const
{
    const QString brimlockFolder = child(rootPath, kBrimlockFolder);
    if (auto created = RegularFile::createFolders(brimlockFolder); !created)
        return created.error();
    if (auto created = RegularFile::createFolders(child(brimlockFolder, kTasksFolder)); !created)
        return created.error();

    const qint64 count = std::max<qint64>(agentCount, 0);
    QJsonObject config;
    config.insert(QStringLiteral("agent_count"), count);
    config.insert(QStringLiteral("name"), name);
    // QJsonObject keeps its keys sorted, so "agent_count" comes first.
    const QByteArray bytes = QJsonDocument(config).toJson(QJsonDocument::Indented);

    if (auto written = RegularFile::writeAtomically(child(rootPath, kConfigName), bytes); !written)
        return written.error();
    return BL_WorkspaceConfig {name, count};
}

std::optional<QString> LocalFileSystemService::resolveConfigURL(const QString &folder) const
{
    const QString canonical = child(folder, kConfigName);
    if (exists(canonical))
        return canonical;
    const auto entries = visibleEntries(folder);
    if (!entries)
        return std::nullopt;
    for (const QString &entry : *entries) {
        if (QFileInfo(entry).fileName().compare(kConfigName, Qt::CaseInsensitive) == 0)
            return entry;
    }
    return std::nullopt;
}

bool LocalFileSystemService::normalizeConfigFilenameIfNeeded(const QString &configPath, const QString &folder) const
{
    if (QFileInfo(configPath).fileName() == kConfigName)
        return true;
    const QString canonical = child(folder, kConfigName);
    if (exists(canonical))
        return false;
    // QFile::rename never replaces an existing file.
    return QFile::rename(configPath, canonical);
}

BrimlockProjectDetection LocalFileSystemService::detectProject(const QString &rootPath) const
{
    const QString brimlockFolder = child(rootPath, kBrimlockFolder);
    std::optional<QString> rootConfig = resolveConfigURL(rootPath);
    std::optional<QString> dotConfig = resolveConfigURL(brimlockFolder);
    if (rootConfig && normalizeConfigFilenameIfNeeded(*rootConfig, rootPath))
        rootConfig = child(rootPath, kConfigName);
    if (dotConfig && normalizeConfigFilenameIfNeeded(*dotConfig, brimlockFolder))
        dotConfig = child(brimlockFolder, kConfigName);

    BrimlockProjectDetection detection;
    detection.hasBrimlockDirectory = exists(brimlockFolder);
    detection.configURL = rootConfig ? rootConfig : dotConfig;
    return detection;
}

Result<QStringList> LocalFileSystemService::taskFiles(const QString &rootPath) const
{
    const QString folder = taskFolder(rootPath);
    if (!exists(folder))
        return QStringList();
    auto entries = visibleEntries(folder);
    if (!entries)
        return entries.error();
    QStringList files;
    for (const QString &entry : std::as_const(*entries)) {
        if (QFileInfo(entry).suffix().compare(QLatin1String("json"), Qt::CaseInsensitive) == 0)
            files.append(entry);
    }
    return files;
}

QString LocalFileSystemService::watchDirectoryURL(const QString &rootPath) const
{
    for (const QString &relative : {kBrimlockFolder + u'/' + kTasksFolder, kTasksFolder, kBrimlockFolder}) {
        const QString candidate = child(rootPath, relative);
        if (exists(candidate))
            return candidate;
    }
    return QDir::cleanPath(rootPath);
}

Result<QByteArray> LocalFileSystemService::readWorkspaceFile(const QString &path) const
{
    return RegularFile::read(path, kMaximumWorkspaceFileSize);
}
