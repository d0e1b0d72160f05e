#include "TaskLogWriter.h"

#include "agents/BL_AgentLoopRecords.h"
#include "common/Json.h"
#include "common/UuidText.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace {

// Writes all of `bytes`; false on any failure.
bool writeAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

int openForAppend(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(native.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Whether the open file still has a name (it was neither deleted nor replaced).
bool stillLinked(int fd)
{
    struct stat status
    {
    };
    return ::fstat(fd, &status) == 0 && status.st_nlink > 0;
}

bool writeAtomically(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace

// The files kept open between writes, on the queue's thread only.
class TaskLogWriter::OpenFiles
{
public:
    explicit OpenFiles(int limit) : m_limit(std::max(0, limit)) { }
    ~OpenFiles() { closeAll(); }

    // Appends to `path` in `directory`. With `createAtomically`, a missing
    // file is written whole through a temporary file instead.
    void append(const QString &directory, const QString &path, const QByteArray &bytes, bool createAtomically)
    {
        int fd = take(path);
        if (fd < 0) {
            if (!QDir().mkpath(directory))
                return;
            if (createAtomically && !QFileInfo::exists(path)) {
                writeAtomically(path, bytes);
                return;
            }
            fd = openForAppend(path);
            if (fd < 0)
                return;
        }
        if (!writeAll(fd, bytes)) {
            ::close(fd);
            return;
        }
        keep(path, fd);
    }

    // Replaces `path` with an empty file.
    void replaceWithEmpty(const QString &directory, const QString &path)
    {
        const int fd = take(path);
        if (fd >= 0)
            ::close(fd);
        if (!QDir().mkpath(directory))
            return;
        writeAtomically(path, QByteArray());
    }

    void closeAll()
    {
        for (const auto &[path, entry] : m_open)
            ::close(entry.fd);
        m_open.clear();
    }

private:
    struct Entry
    {
        int fd;
        quint64 lastUse;
    };

    // The kept descriptor of `path`, removed from the set; -1 when none is
    // kept or the kept one lost its name.
    int take(const QString &path)
    {
        const auto it = m_open.find(path);
        if (it == m_open.end())
            return -1;
        const int fd = it->second.fd;
        m_open.erase(it);
        if (stillLinked(fd))
            return fd;
        ::close(fd);
        return -1;
    }

    void keep(const QString &path, int fd)
    {
        if (m_limit == 0) {
            ::close(fd);
            return;
        }
        if (qsizetype(m_open.size()) >= m_limit) {
            auto oldest = m_open.begin();
            for (auto it = m_open.begin(); it != m_open.end(); ++it)
                if (it->second.lastUse < oldest->second.lastUse)
                    oldest = it;
            ::close(oldest->second.fd);
            m_open.erase(oldest);
        }
        m_open.emplace(path, Entry {fd, ++m_useCounter});
    }

    struct Hash
    {
        size_t operator()(const QString &text) const { return qHash(text); }
    };

    const int m_limit;
    quint64 m_useCounter = 0;
    std::unordered_map<QString, Entry, Hash> m_open;
};

TaskLogWriter::TaskLogWriter(QString dataDirectory, const Clock &clock, int openFileLimit)
    : m_logsRoot(QDir(dataDirectory).filePath(QStringLiteral("task-logs"))),
      m_clock(clock),
      m_files(std::make_unique<OpenFiles>(openFileLimit)),
      m_queue(QString::fromLatin1(kQueueName))
{
}

TaskLogWriter::~TaskLogWriter()
{
    submitPending();
    OpenFiles *files = m_files.get();
    m_queue.call([files] { files->closeAll(); }).waitForFinished();
}

void TaskLogWriter::request(Write write)
{
    m_pending.push_back(std::move(write));
    if (m_pending.size() == 1)
        QMetaObject::invokeMethod(
            &m_turnEnd, [this] { submitPending(); }, Qt::QueuedConnection);
}

void TaskLogWriter::submitPending()
{
    if (m_pending.empty())
        return;
    auto batch = std::make_shared<std::vector<Write>>(std::move(m_pending));
    m_pending.clear();
    QMetaObject::invokeMethod(
        m_queue.context(),
        [files = m_files.get(), batch] {
            for (const Write &write : *batch) {
                switch (write.kind) {
                case Write::Kind::append:
                    files->append(write.directory, write.path, write.bytes, false);
                    break;
                case Write::Kind::appendOrCreate:
                    files->append(write.directory, write.path, write.bytes, true);
                    break;
                case Write::Kind::replaceWithEmpty:
                    files->replaceWithEmpty(write.directory, write.path);
                    break;
                }
            }
        },
        Qt::QueuedConnection);
}

QString TaskLogWriter::workspaceLogDirectory(const QUuid &workspaceID) const
{
    return m_logsRoot + u'/' + UuidText::lower(workspaceID);
}

QString TaskLogWriter::taskStdoutLogFilePath(const QUuid &workspaceID, const QUuid &taskID) const
{
    return workspaceLogDirectory(workspaceID) + u'/' + UuidText::lower(taskID) + QStringLiteral(".stdout.log");
}

QString TaskLogWriter::taskEventLogFilePath(const QUuid &workspaceID, const QUuid &taskID) const
{
    return workspaceLogDirectory(workspaceID) + u'/' + UuidText::lower(taskID) + QStringLiteral(".jsonl");
}

void TaskLogWriter::resetTaskStdoutLog(const QUuid &workspaceID, const QUuid &taskID)
{
    request({Write::Kind::replaceWithEmpty, workspaceLogDirectory(workspaceID),
        taskStdoutLogFilePath(workspaceID, taskID), QByteArray()});
}

void TaskLogWriter::appendTaskStdoutChunk(const QUuid &workspaceID, const QUuid &taskID, const QString &chunk)
{
    request({Write::Kind::append, workspaceLogDirectory(workspaceID), taskStdoutLogFilePath(workspaceID, taskID),
        chunk.toUtf8()});
}

void TaskLogWriter::appendTaskDebugLog(const BL_Event &event, const BL_Task &task)
{
    const QString directory = workspaceLogDirectory(event.projectID);
    const QString taskName = directory + u'/' + UuidText::lower(event.taskID);
    const QString stdoutPath = taskName + QStringLiteral(".stdout.log");
    const bool stdoutExists = QFileInfo::exists(stdoutPath);
    QByteArray line = eventLogLine(event, task, m_clock, stdoutExists ? std::optional(stdoutPath) : std::nullopt);
    request({Write::Kind::appendOrCreate, directory, taskName + QStringLiteral(".jsonl"), std::move(line)});
}

QFuture<void> TaskLogWriter::flush()
{
    submitPending();
    return m_queue.call([] {});
}

QByteArray TaskLogWriter::eventLogLine(
    const BL_Event &event, const BL_Task &task, const Clock &clock, const std::optional<QString> &stdoutFilePath)
{
    // The keys in ascending byte order; the line lists the present ones in
    // this order.
    enum Key {
        command,
        conversation,
        delegationState,
        detail,
        eventType,
        exitCode,
        status,
        standardError,
        stdoutFile,
        ts,
        workerSessionKey,
        workerState,
        keyCount
    };
    static constexpr std::array<const char *, keyCount> kKeys = {"command", "conversation", "delegationState", "detail",
        "eventType", "exitCode", "status", "stderr", "stdoutFile", "ts", "workerSessionKey", "workerState"};
    std::array<std::optional<QString>, keyCount> values;

    values[ts] = clock.now().toIso8601();
    values[eventType] = rawValue(event.type);
    values[status] = rawValue(task.status);
    values[workerState] = rawValue(task.workerState);
    values[delegationState] = rawValue(task.delegationState);

    const std::optional<QJsonObject> payload = event.payload ? Json::parseObject(*event.payload) : std::nullopt;
    if (payload) {
        if (const auto taskEvent = BL_TaskEventPayload::fromJson(*payload)) {
            if (taskEvent->detail && !taskEvent->detail->isEmpty())
                values[detail] = *taskEvent->detail;
            if (taskEvent->conversationTurn && !taskEvent->conversationTurn->content.isEmpty())
                values[conversation] = taskEvent->conversationTurn->content;
        }
    }
    if (task.workerSessionKey && !task.workerSessionKey->isEmpty())
        values[workerSessionKey] = *task.workerSessionKey;
    if (stdoutFilePath)
        values[stdoutFile] = *stdoutFilePath;
    // Only a worker result with output can hold a shell result.
    if (payload && payload->contains(QStringLiteral("outputData"))) {
        const auto result = BL_WorkerResultPayload::fromJson(*payload);
        const auto shell
            = result && result->outputData ? BL_ShellToolResultPayload::decode(*result->outputData) : std::nullopt;
        if (shell && !shell->command.isEmpty()) {
            values[command] = shell->command;
            values[exitCode] = QString::number(shell->exitCode);
            if (!shell->standardError.isEmpty())
                values[standardError] = shell->standardError;
        }
    }

    Json::WriteOptions options;
    options.escapeUnicodeLineBreaks = true;
    QByteArray line;
    line.reserve(320);
    line.append('{');
    for (int key = 0; key < keyCount; ++key) {
        if (!values[key])
            continue;
        if (line.size() > 1)
            line.append(',');
        line.append('"').append(kKeys[key]).append("\":");
        line.append(Json::write(QJsonValue(*values[key]), options));
    }
    line.append("}\n");
    return line;
}
