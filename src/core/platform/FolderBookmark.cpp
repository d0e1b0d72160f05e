#include "FolderBookmark.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <optional>
#include <sys/stat.h>

namespace {

const QString kDomain = QStringLiteral("FolderBookmark");

struct Identity
{
    quint64 device = 0;
    quint64 inode = 0;
    bool operator==(const Identity &) const = default;
};

// The identity of a folder; nothing when the path is no folder.
std::optional<Identity> folderIdentity(const QString &path)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return std::nullopt;
    return Identity {static_cast<quint64>(info.st_dev), static_cast<quint64>(info.st_ino)};
}

std::optional<Identity> parseIdentity(const QByteArray &text)
{
    const QList<QByteArray> parts = text.split(':');
    if (parts.size() != 2)
        return std::nullopt;
    bool deviceOk = false;
    bool inodeOk = false;
    const Identity identity {parts[0].toULongLong(&deviceOk), parts[1].toULongLong(&inodeOk)};
    if (!deviceOk || !inodeOk)
        return std::nullopt;
    return identity;
}

// A folder with this identity among the direct entries of `parent`.
QString findInFolder(const QString &parent, const Identity &identity)
{
    const QDir folder(parent);
    if (!folder.exists())
        return QString();
    const QStringList names = folder.entryList(QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QString candidate = folder.filePath(name);
        if (folderIdentity(candidate) == identity)
            return candidate;
    }
    return QString();
}

} // namespace

namespace FolderBookmark {

Result<QByteArray> create(const QString &folderPath)
{
    if (folderPath.isEmpty())
        return Error::make(kDomain, 1, QStringLiteral("No folder was given."));
    const QString path = QDir::cleanPath(QDir::current().absoluteFilePath(folderPath));
    const std::optional<Identity> identity = folderIdentity(path);
    if (!identity)
        return Error::make(kDomain, 1, QStringLiteral("The folder \"%1\" does not exist.").arg(path));
    QByteArray data = path.toUtf8();
    data.append('\0');
    data.append(QByteArray::number(identity->device) + ':' + QByteArray::number(identity->inode));
    return data;
}

QString recordedPath(const QByteArray &bookmarkData)
{
    const qsizetype end = bookmarkData.indexOf('\0');
    const QByteArray pathBytes = end < 0 ? bookmarkData : bookmarkData.left(end);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString path = decoder.decode(pathBytes);
    if (decoder.hasError() || !path.startsWith(u'/'))
        return QString();
    return path;
}

Result<Resolved> resolve(const QByteArray &bookmarkData)
{
    const QString path = recordedPath(bookmarkData);
    if (path.isEmpty())
        return Error::make(kDomain, 2, QStringLiteral("The bookmark does not name a folder."));
    const qsizetype end = bookmarkData.indexOf('\0');
    const std::optional<Identity> recorded = end < 0 ? std::nullopt : parseIdentity(bookmarkData.mid(end + 1));

    const std::optional<Identity> current = folderIdentity(path);
    if (current && recorded && *current == *recorded)
        return Resolved {path, false};
    if (recorded) {
        // Renamed inside its parent: the same folder under a new name.
        const QString moved = findInFolder(QFileInfo(path).path(), *recorded);
        if (!moved.isEmpty())
            return Resolved {moved, true};
    }
    if (current)
        return Resolved {path, true};
    return Error::make(kDomain, 3, QStringLiteral("The folder \"%1\" no longer exists.").arg(path));
}

} // namespace FolderBookmark
