#pragma once

#include "common/Result.h"

#include <QByteArray>
#include <QString>

// Bookmarks of folders on this platform. A bookmark is the folder's absolute
// path as UTF-8, followed by a NUL byte and the folder's identity on disk
// ("<device>:<inode>" in decimal) when it was known. A reader that wants only
// the path takes the bytes up to the first NUL; a bookmark of bare path bytes
// is accepted too.
//
// Resolving checks that the folder still exists. A folder renamed inside its
// parent is found again by its identity; a bookmark whose folder has moved,
// whose path now names another folder, or which carries no identity is
// reported stale, and the caller makes a new one from the resolved path.
namespace FolderBookmark {

struct Resolved
{
    QString path; // where the folder is now
    bool isStale = false;
};

// Fails when the path does not name an existing folder. A relative path is
// taken from the current working directory.
Result<QByteArray> create(const QString &folderPath);

// Fails when the bytes are no bookmark of this kind or the folder cannot be
// found any more.
Result<Resolved> resolve(const QByteArray &bookmarkData);

// The path recorded in the bookmark, without looking at the disk; empty when
// the bytes hold no absolute UTF-8 path.
QString recordedPath(const QByteArray &bookmarkData);

} // namespace FolderBookmark
