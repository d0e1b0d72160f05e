#include "RegularFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace RegularFile {
namespace {

    Error readError(const QString &path, const QString &reason)
    {
        return Error::make(QStringLiteral("The file \"%1\" could not be read: %2").arg(path, reason));
    }

    Error systemReadError(const QString &path, int code)
    {
        return readError(path, qt_error_string(code));
    }

    class FileDescriptor
    {
    public:
        explicit FileDescriptor(int fd) : m_fd(fd) { }
        ~FileDescriptor()
        {
            if (m_fd >= 0)
                ::close(m_fd);
        }
        FileDescriptor(const FileDescriptor &) = delete;
        FileDescriptor &operator=(const FileDescriptor &) = delete;
        int get() const { return m_fd; }

    private:
        int m_fd;
    };

    QString sizeText(qint64 bytes)
    {
        if (bytes % (1024 * 1024) == 0)
            return QStringLiteral("%1 MiB").arg(bytes / (1024 * 1024));
        return QStringLiteral("%1 bytes").arg(bytes);
    }

} // namespace

Result<QByteArray> read(const QString &path, std::optional<qint64> maxBytes)
{
    const QByteArray native = QFile::encodeName(path);
    const QString notRegular = QStringLiteral("it is not a regular file.");

    // Look before opening: opening a FIFO waits for a writer, and opening a
    // device can have effects of its own.
    struct stat info
    {
    };
    if (::stat(native.constData(), &info) != 0)
        return systemReadError(path, errno);
    if (!S_ISREG(info.st_mode))
        return readError(path, notRegular);

    // O_NONBLOCK keeps the open from waiting should the entry have been
    // swapped for a FIFO since the look above; fstat then sees what was
    // really opened.
    FileDescriptor fd(::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0)
        return systemReadError(path, errno);
    if (::fstat(fd.get(), &info) != 0)
        return systemReadError(path, errno);
    if (!S_ISREG(info.st_mode))
        return readError(path, notRegular);
    const auto tooLarge
        = [&] { return readError(path, QStringLiteral("it is larger than %1.").arg(sizeText(*maxBytes))); };
    if (maxBytes && info.st_size > *maxBytes)
        return tooLarge();

    QByteArray bytes;
    bytes.reserve(qsizetype(info.st_size));
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
        if (count == 0)
            break;
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return systemReadError(path, errno);
        }
        bytes.append(buffer, qsizetype(count));
        // The file may grow while it is read.
        if (maxBytes && bytes.size() > *maxBytes)
            return tooLarge();
    }
    return bytes;
}

bool isRegularFile(const QString &path)
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

Result<void> writeAtomically(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    const auto failure = [&] {
        return Error::make(QStringLiteral("The file \"%1\" could not be written: %2").arg(path, file.errorString()));
    };
    if (!file.open(QIODevice::WriteOnly))
        return failure();
    if (file.write(bytes) != bytes.size()) {
        const Error error = failure();
        file.cancelWriting();
        return error;
    }
    if (!file.commit())
        return failure();
    return Result<void>::success();
}

Result<void> createFolders(const QString &path)
{
    std::error_code code;
    std::filesystem::create_directories(std::filesystem::path(QFile::encodeName(path).toStdString()), code);
    if (code) {
        return Error::make(QStringLiteral("The folder \"%1\" could not be created: %2")
                               .arg(path, QString::fromLocal8Bit(code.message())));
    }
    return Result<void>::success();
}

bool keepCopyOnce(
    const QString &folder, const QString &prefix, const QString &suffix, const QByteArray &bytes, const QDateTime &now)
{
    const QDir directory(folder);
    const QStringList kept = directory.entryList({prefix + u'*' + suffix}, QDir::Files | QDir::Hidden);
    for (const QString &name : kept) {
        const QString path = directory.filePath(name);
        if (QFileInfo(path).size() != bytes.size())
            continue;
        if (const auto existing = read(path); existing && *existing == bytes)
            return true;
    }
    const QString stamp = now.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    QString path = directory.filePath(prefix + stamp + suffix);
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = directory.filePath(prefix + stamp + u'-' + QString::number(n) + suffix);
    QSaveFile copy(path);
    if (!copy.open(QIODevice::WriteOnly))
        return false;
    copy.write(bytes);
    return copy.commit();
}

} // namespace RegularFile
