#pragma once

#include "common/Result.h"
#include "common/TimePoint.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <optional>

// A workspace: a project folder the user imported or created. `id` never
// changes once the workspace exists.
struct BL_Workspace
{
    QUuid id;
    std::optional<QUuid> organizationID;
    QString name;
    QString rootPath;
    TimePoint createdAt;
    TimePoint updatedAt;

    // Keys are the field names; UUIDs upper case, dates seconds since 2001;
    // an absent organisation is left out, and reads back from a missing key
    // or null.
    QJsonObject toJson() const;
    static Result<BL_Workspace> fromJson(const QJsonValue &json);

    friend bool operator==(const BL_Workspace &, const BL_Workspace &) = default;
};
size_t qHash(const BL_Workspace &workspace, size_t seed = 0);

// A worker agent of the worker pool.
struct BL_Agent
{
    QUuid id;
    QString name;
    QString model;
    QStringList capabilities;
    bool isEnabled = false;
    TimePoint createdAt;
    TimePoint updatedAt;

    QJsonObject toJson() const;
    static Result<BL_Agent> fromJson(const QJsonValue &json);

    friend bool operator==(const BL_Agent &, const BL_Agent &) = default;
};
size_t qHash(const BL_Agent &agent, size_t seed = 0);

// What the system knows from a workspace's "brimlock.json".
struct BL_WorkspaceConfig
{
    QString name;
    qint64 agentCount = 0; // never negative

    // Reads a config file leniently: a member of the wrong kind falls through
    // to the next rule, ending at `fallbackName` and a count of 0. Fails only
    // when the bytes are not JSON (the reader's message). A count is a whole
    // JSON number inside the signed 64-bit range; true and false are not.
    static Result<BL_WorkspaceConfig> parse(const QByteArray &bytes, const QString &fallbackName);
};
