#pragma once

#include "../agents/BrimlockStandIn.h"
#include "TestSupport.h"
#include "agents/BrimlockRuntime.h"
#include "agenttools/HealthCheckAppState.h"
#include "agenttools/ModelUsageAppState.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

namespace AgentToolsFixture {

// The current row's value of a data column, inside an expression.
template<typename T> T fetched(const char *column)
{
    return *static_cast<T *>(QTest::qData(column, ::qMetaTypeId<T>()));
}

using TestSupport::awaitDone;

// JSON written with single quotes for readability: every ' becomes ".
inline QByteArray j(const char *text)
{
    QByteArray json(text);
    json.replace('\'', '"');
    return json;
}

// The process as seen by the executable searches, inside the current
// temporary home: no program folders, no BRIMLOCK_* overrides, and PATH of
// `pathFolder` (when given) before the system folders.
inline BrimlockHost sandboxHost(const QString &pathFolder = QString())
{
    BrimlockHost host = BrimlockHost::current();
    host.executableDirectory.reset();
    host.resourcesDirectory.reset();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"BRIMLOCK_BIN", "BRIMLOCK_CONFIG_PATH", "BRIMLOCK_STATE_DIR"})
        environment.remove(QLatin1String(name));
    environment.insert(QStringLiteral("PATH"),
        (pathFolder.isEmpty() ? QString() : pathFolder + u':') + QStringLiteral("/usr/bin:/bin"));
    host.environment = environment;
    host.loginShellTimeout = std::chrono::seconds(5);
    return host;
}

inline void makeExecutable(const QString &path)
{
    QFile::setPermissions(path,
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup
            | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther);
}

// The codexbar stand-in of tests/fixtures/codexbar: its scenario and its log
// live in a folder of this object, named to the stand-in through
// CODEXBAR_STANDIN_DIR for as long as the object lives.
class CodexBarStandIn
{
public:
    CodexBarStandIn() { qputenv("CODEXBAR_STANDIN_DIR", m_dir.path().toUtf8()); }
    ~CodexBarStandIn() { qunsetenv("CODEXBAR_STANDIN_DIR"); }
    CodexBarStandIn(const CodexBarStandIn &) = delete;
    CodexBarStandIn &operator=(const CodexBarStandIn &) = delete;

    static QString installAt(const QString &path)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile::remove(path);
        if (!QFile::copy(TestSupport::fixturesPath(QStringLiteral("codexbar/codexbar")), path))
            qFatal("cannot install the codexbar stand-in at %s", qPrintable(path));
        makeExecutable(path);
        return path;
    }
    static QString installInToolHome()
    {
        return installAt(QDir::homePath() + QStringLiteral("/.brimlock/bin/codexbar"));
    }

    void setReply(const QJsonObject &reply) const
    {
        QFile file(m_dir.filePath(QStringLiteral("scenario.json")));
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(QJsonDocument(reply).toJson(QJsonDocument::Compact));
    }
    void setReply(const QByteArray &json) const
    {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(json, &error);
        if (error.error != QJsonParseError::NoError)
            qFatal("bad codexbar reply: %s", qPrintable(error.errorString()));
        setReply(document.object());
    }

    QList<QJsonObject> invocations() const
    {
        QList<QJsonObject> result;
        QFile file(m_dir.filePath(QStringLiteral("invocations.jsonl")));
        if (!file.open(QIODevice::ReadOnly))
            return result;
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (!line.isEmpty())
                result.append(QJsonDocument::fromJson(line).object());
        }
        return result;
    }

private:
    QTemporaryDir m_dir;
};

// The application state as the health checks see it, set by the test.
class FakeHealthAppState final : public HealthCheckAppState
{
public:
    bool clientNodeMode = false;
    ClientNodePing ping;
    bool viewerRunning = false;
    bool attemptedStart = false;
    std::optional<QUrl> viewerURL;

    int pingCount = 0;
    QList<QList<HealthCheckResult>> storedSnapshots;
    QList<std::optional<TimePoint>> storedTimes;

    bool isClientNodeMode() const override { return clientNodeMode; }
    QCoro::Task<ClientNodePing> checkClientNodePing() override
    {
        ++pingCount;
        co_return ping;
    }
    bool isLocalTaskViewerRunning() const override { return viewerRunning; }
    bool hasAttemptedLocalServerStart() const override { return attemptedStart; }
    std::optional<QUrl> localTaskViewerURL() const override { return viewerURL; }
    QCoro::Task<> applyHealthSnapshot(
        QList<HealthCheckResult> results, std::optional<TimePoint> checkedAt, QString) override
    {
        storedSnapshots.append(results);
        storedTimes.append(checkedAt);
        co_return;
    }
};

// The application state as the model-usage read sees it.
class FakeModelUsageAppState final : public ModelUsageAppState
{
public:
    bool clientNodeMode = false;
    ModelUsageAPIResponse mainNodeAnswer;
    int mainNodeRequests = 0;

    bool isClientNodeMode() const override { return clientNodeMode; }
    QCoro::Task<ModelUsageAPIResponse> fetchClientNodeModelUsage() override
    {
        ++mainNodeRequests;
        co_return mainNodeAnswer;
    }
};

} // namespace AgentToolsFixture
