#pragma once

#include "TestSupport.h"

#include <QCoroTask>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTest>
#include <memory>

// The Python stand-in of the cloud backend and the authorization server, run
// as a child process for the life of the object.
class FakeCloudBackend
{
public:
    struct Recorded
    {
        QString method;
        QString path;
        QString query;
        QJsonObject headers; // lower-case names
        QByteArray body;
        bool hasHeader(const char *name) const { return headers.contains(QLatin1String(name)); }
        QString header(const char *name) const { return headers.value(QLatin1String(name)).toString(); }
        QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    };

    FakeCloudBackend()
    {
        m_process.setProgram(TestSupport::python());
        m_process.setArguments({TestSupport::fixturesPath(QStringLiteral("cloud-backend/fake_backend.py"))});
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return;
        QByteArray line;
        TestSupport::waitUntil([&] {
            line += m_process.readAllStandardOutput();
            return line.contains('\n');
        });
        if (line.startsWith("PORT "))
            m_port = line.mid(5).trimmed().toInt();
    }
    ~FakeCloudBackend()
    {
        m_process.kill();
        m_process.waitForFinished(3000);
    }

    bool isRunning() const { return m_port > 0; }
    int port() const { return m_port; }
    QString origin() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }
    QString apiRoot() const { return origin() + QStringLiteral("/v1"); }

    QByteArray control(const QString &path, const QJsonObject &body = {}) const
    {
        QNetworkAccessManager network;
        QNetworkRequest request(QUrl(origin() + QStringLiteral("/__control/") + path));
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        std::unique_ptr<QNetworkReply> reply(network.post(request, QJsonDocument(body).toJson()));
        TestSupport::waitUntil([&] { return reply->isFinished(); });
        return reply->readAll();
    }
    void reset() const { control(QStringLiteral("reset")); }
    void script(const QJsonObject &entry) const { control(QStringLiteral("script"), entry); }
    void setState(const QJsonObject &values) const { control(QStringLiteral("state"), values); }
    QJsonObject tasks() const { return QJsonDocument::fromJson(control(QStringLiteral("tasks"))).object(); }

    QList<Recorded> requests() const
    {
        QList<Recorded> list;
        const QJsonArray array = QJsonDocument::fromJson(control(QStringLiteral("requests"))).array();
        for (const QJsonValue &value : array) {
            const QJsonObject o = value.toObject();
            list.append(Recorded {o[QStringLiteral("method")].toString(), o[QStringLiteral("path")].toString(),
                o[QStringLiteral("query")].toString(), o[QStringLiteral("headers")].toObject(),
                QByteArray::fromBase64(o[QStringLiteral("body_b64")].toString().toLatin1())});
        }
        return list;
    }
    // "METHOD /path" of every recorded request, in order.
    QStringList requestLines() const
    {
        QStringList lines;
        for (const Recorded &r : requests())
            lines.append(r.method + u' ' + r.path);
        return lines;
    }

private:
    QProcess m_process;
    int m_port = 0;
};

using TestSupport::awaitTask;
