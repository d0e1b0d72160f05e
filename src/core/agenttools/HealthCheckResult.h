#pragma once

#include <QString>
#include <QUuid>

// The outcome of one health check. Held in memory only: never stored, never
// written as JSON.
//
// The output of the "Local Task Viewer Server" check carries the local
// viewer's share link, and with it the viewer's access token. Results stay on
// this machine: whatever is derived from them for anyone else (the node
// heartbeat) takes only their statuses and their number.
struct HealthCheckResult
{
    enum class Status { success, failed };

    QUuid id; // fresh for every result produced
    QString title;
    Status status = Status::failed;
    QString command; // the command line as a user would type it, or a label
    QString output;

    // A result with a fresh id.
    static HealthCheckResult make(QString title, Status status, QString command, QString output);
};

// The main-node ping of a client node: whether the main node answered, the
// command label and the report.
struct ClientNodePing
{
    bool success = false;
    QString command;
    QString output;
};
