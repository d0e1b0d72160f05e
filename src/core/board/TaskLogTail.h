#pragma once

#include <QString>
#include <optional>

// The end of a task's raw output log as the task detail and the local viewer
// show it: the log read as UTF-8 and trimmed of white space and line breaks;
// at most `maxCharacters` user-perceived characters, else "…" and the last
// `maxCharacters`. Nothing for a missing, unreadable, non-UTF-8 or blank log.
//
// The whole file is streamed once through a UTF-8 check, but only a trailing
// window of it is decoded; the window is widened until it holds enough
// characters, so the result is the same as decoding the whole file. Blocking
// file work: call it off the main thread.
namespace TaskLogTail {

inline constexpr qsizetype kDefaultMaxCharacters = 2000;
inline const QString kEllipsis = QStringLiteral("\u2026");

std::optional<QString> read(
    const QString &path, qsizetype maxCharacters = kDefaultMaxCharacters, qsizetype initialWindowBytes = 64 * 1024);

// read(), remembering each log's tail while the file keeps its size, change
// time and identity, so a board polled every second rescans only the logs
// that grew. Thread-safe; at most a few hundred logs are remembered.
std::optional<QString> readCached(const QString &path, qsizetype maxCharacters = kDefaultMaxCharacters);

// The same rule over text already in memory.
std::optional<QString> fromText(const QString &text, qsizetype maxCharacters = kDefaultMaxCharacters);

} // namespace TaskLogTail
