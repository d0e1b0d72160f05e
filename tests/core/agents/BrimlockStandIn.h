#pragma once

#include "TestSupport.h"

#include <QCoroTask>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <memory>
#include <optional>

// The Brimlock stand-in of tests/fixtures/brimlock: its scenario and its log
// live in a folder of this object, named to the stand-in through
// BRIMLOCK_STANDIN_DIR for as long as the object lives.
class BrimlockStandIn
{
public:
    BrimlockStandIn() { qputenv("BRIMLOCK_STANDIN_DIR", m_dir.path().toUtf8()); }
    ~BrimlockStandIn() { qunsetenv("BRIMLOCK_STANDIN_DIR"); }
    BrimlockStandIn(const BrimlockStandIn &) = delete;
    BrimlockStandIn &operator=(const BrimlockStandIn &) = delete;

    static QString source() { return TestSupport::fixturesPath(QStringLiteral("brimlock/brimlock")); }

    // Copies the stand-in to `path` (folders created) as an executable file.
    static QString installAt(const QString &path)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile::remove(path);
        if (!QFile::copy(source(), path))
            qFatal("cannot install the Brimlock stand-in at %s", qPrintable(path));
        QFile::setPermissions(path,
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup
                | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther);
        return path;
    }

    // Where a user's own install lives: $HOME/.brimlock/bin/brimlock.
    static QString installInToolHome()
    {
        return installAt(QDir::homePath() + QStringLiteral("/.brimlock/bin/brimlock"));
    }

    void setScenario(const QByteArray &json) const
    {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(json, &error);
        if (error.error != QJsonParseError::NoError)
            qFatal("bad scenario: %s", qPrintable(error.errorString()));
        setScenario(document.object());
    }
    void setScenario(const QJsonObject &scenario) const
    {
        QFile file(m_dir.filePath(QStringLiteral("scenario.json")));
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(QJsonDocument(scenario).toJson(QJsonDocument::Compact));
    }

    QList<QJsonObject> records(const QString &event) const
    {
        QList<QJsonObject> result;
        QFile file(m_dir.filePath(QStringLiteral("invocations.jsonl")));
        if (!file.open(QIODevice::ReadOnly))
            return result;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            if (record.value(QStringLiteral("event")).toString() == event)
                result.append(record);
        }
        return result;
    }
    QList<QJsonObject> invocations() const { return records(QStringLiteral("invocation")); }

    static QStringList argv(const QJsonObject &invocation)
    {
        QStringList result;
        for (const QJsonValue &value : invocation.value(QStringLiteral("argv")).toArray())
            result.append(value.toString());
        return result;
    }
    // A logged environment variable; a null QString when it was unset.
    static QString env(const QJsonObject &invocation, const QString &name)
    {
        const QJsonValue value = invocation.value(QStringLiteral("env")).toObject().value(name);
        return value.isString() ? value.toString() : QString();
    }

private:
    QTemporaryDir m_dir;
};

using TestSupport::awaitTask;
