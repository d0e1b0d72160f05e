#pragma once

#include "common/Result.h"

#include <QString>
#include <functional>
#include <memory>

class QSocketNotifier;

// Reports, through inotify, that something happened in one folder: an entry
// created, deleted, moved in or out, written to or closed after writing, an
// attribute change of the folder or of an entry, or the folder's own move or
// deletion. Says nothing about what happened: the owner looks for itself.
//
// Lives on the thread that opened it and reports there, once per batch of
// kernel events; it must be destroyed on that thread too. Sub-folders are not
// observed.
class FolderEventSource final
{
public:
    // Fails when the folder cannot be observed (missing, not a folder, no
    // inotify instance left).
    static Result<std::unique_ptr<FolderEventSource>> open(const QString &folder, std::function<void()> onChange);
    ~FolderEventSource();
    FolderEventSource(const FolderEventSource &) = delete;
    FolderEventSource &operator=(const FolderEventSource &) = delete;

private:
    FolderEventSource(int descriptor, std::function<void()> onChange);
    void drain();

    int m_descriptor = -1;
    std::function<void()> m_onChange;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
