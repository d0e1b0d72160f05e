#include "TestSupport.h"

#include "common/ProcessRunner.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace TestSupport {

QString fixturesPath(const QString &relative)
{
    const QString root = QStringLiteral(TESSARON_FIXTURES_DIR);
    return relative.isEmpty() ? root : root + u'/' + relative;
}

QString python()
{
    static const QString program = QFileInfo::exists(QStringLiteral("/usr/bin/python3"))
        ? QStringLiteral("/usr/bin/python3")
        : QStringLiteral("python3");
    return program;
}

namespace {
    const QByteArray kVariables[] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"};
}

TemporaryHome::TemporaryHome()
{
    for (const QByteArray &name : kVariables)
        m_saved.insert(name, qgetenv(name.constData()));
    QDir root(m_dir.path());
    for (const char *sub : {"home", "config", "data", "cache", "state"})
        root.mkpath(QLatin1String(sub));
    qputenv("HOME", home().toUtf8());
    qputenv("XDG_CONFIG_HOME", configHome().toUtf8());
    qputenv("XDG_DATA_HOME", dataHome().toUtf8());
    qputenv("XDG_CACHE_HOME", (path() + QStringLiteral("/cache")).toUtf8());
    qputenv("XDG_STATE_HOME", (path() + QStringLiteral("/state")).toUtf8());
}

TemporaryHome::~TemporaryHome()
{
    for (auto it = m_saved.constBegin(); it != m_saved.constEnd(); ++it) {
        if (it.value().isNull())
            qunsetenv(it.key().constData());
        else
            qputenv(it.key().constData(), it.value());
    }
}

QString TemporaryHome::home() const
{
    return path() + QStringLiteral("/home");
}

QString TemporaryHome::dataHome() const
{
    return path() + QStringLiteral("/data");
}

QString TemporaryHome::configHome() const
{
    return path() + QStringLiteral("/config");
}

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(1);
    }
    return true;
}

void drainMainThread(int turns)
{
    for (int i = 0; i < turns; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

QByteArray git(const QString &repository, const QStringList &arguments)
{
    ProcessRequest request;
    request.program = QStringLiteral("git");
    request.arguments = QStringList {QStringLiteral("-C"), repository} + arguments;
    const ProcessResult result = ProcessRunner::runBlocking(request);
    if (!result.succeeded())
        qFatal("git %s failed: %s", qPrintable(arguments.join(u' ')), result.standardError.constData());
    return result.standardOutput;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

} // namespace TestSupport
