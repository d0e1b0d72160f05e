#include "FolderEventSource.h"

#include <QFile>
#include <QSocketNotifier>
#include <cerrno>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

// IN_CLOSE_WRITE and IN_MODIFY make an in-place rewrite of a task file count
// as well as an atomic replace, which shows only as a move into the folder.
constexpr uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_MODIFY
    | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

} // namespace

Result<std::unique_ptr<FolderEventSource>> FolderEventSource::open(
    const QString &folder, std::function<void()> onChange)
{
    const int descriptor = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (descriptor < 0) {
        return Error::make(
            QStringLiteral("The folder \"%1\" cannot be observed: %2").arg(folder, qt_error_string(errno)));
    }
    if (::inotify_add_watch(descriptor, QFile::encodeName(folder).constData(), kEvents) < 0) {
        const int code = errno;
        ::close(descriptor);
        return Error::make(
            QStringLiteral("The folder \"%1\" cannot be observed: %2").arg(folder, qt_error_string(code)));
    }
    return std::unique_ptr<FolderEventSource>(new FolderEventSource(descriptor, std::move(onChange)));
}

FolderEventSource::FolderEventSource(int descriptor, std::function<void()> onChange)
    : m_descriptor(descriptor),
      m_onChange(std::move(onChange)),
      m_notifier(std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read))
{
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [this] { drain(); });
}

FolderEventSource::~FolderEventSource()
{
    m_notifier.reset(); // before the descriptor it listens on goes
    ::close(m_descriptor);
}

void FolderEventSource::drain()
{
    // Only that something happened matters, so the records are read and
    // dropped; an overflowed kernel queue reports the same way.
    alignas(struct inotify_event) char buffer[16 * 1024];
    bool sawEvent = false;
    for (;;) {
        const ssize_t count = ::read(m_descriptor, buffer, sizeof buffer);
        if (count > 0) {
            sawEvent = true;
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        break; // EAGAIN: drained
    }
    if (sawEvent && m_onChange)
        m_onChange();
}
