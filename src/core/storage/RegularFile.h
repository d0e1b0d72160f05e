#pragma once

#include "common/Result.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <optional>

// Whole-file reads and atomic writes for the files the system keeps in
// folders that other programs also write to.
namespace RegularFile {

// Reads the whole file at `path`. Anything that is not a regular file (a
// folder, a FIFO, a device, a socket) is refused without waiting on it, and a
// file longer than `maxBytes` is refused rather than read in part. Symbolic
// links are followed.
Result<QByteArray> read(const QString &path, std::optional<qint64> maxBytes = std::nullopt);

// Whether a regular file (after following links) exists at `path`.
bool isRegularFile(const QString &path);

// Writes `bytes` to a temporary file beside `path` that then takes the old
// file's place, so readers see either the old or the new content, never a
// part of it.
Result<void> writeAtomically(const QString &path, const QByteArray &bytes);

// Creates `path` and any missing folders above it; an existing folder is no
// error, anything else in the way is.
Result<void> createFolders(const QString &path);

// Keeps `bytes` beside the other files of `folder` as
// "<prefix><UTC time><suffix>" ("-2", "-3"… added before the suffix when the
// name is taken), unless a kept copy with the same bytes already exists.
// False when the copy could not be written.
bool keepCopyOnce(
    const QString &folder, const QString &prefix, const QString &suffix, const QByteArray &bytes, const QDateTime &now);

} // namespace RegularFile
