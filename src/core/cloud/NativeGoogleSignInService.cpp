#include "NativeGoogleSignInService.h"

#include "common/Json.h"
#include "common/Text.h"

#include <QCoroNetworkReply>
#include <QCoroSignal>
#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>
#include <memory>

namespace {

// The one-shot redirect target: takes the first request that carries an
// authorization answer, answers it with a short page and stops listening.
class LoopbackListener final : public QObject
{
    Q_OBJECT

public:
    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    QString redirectURI() const { return QStringLiteral("http://127.0.0.1:%1/").arg(m_server.serverPort()); }
    void close() { m_server.close(); }

    LoopbackListener()
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }

signals:
    void answered(QUrlQuery query);

private:
    static constexpr int kPageSendLimitMs = 10000;

    void readRequest(QTcpSocket *socket)
    {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        if (buffer.size() > 64 * 1024) {
            socket->abort();
            return;
        }
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
        const QUrl target(QString::fromUtf8(requestLine.value(1)));
        const QUrlQuery query(target);
        const bool isAnswer
            = !m_done && (query.hasQueryItem(QStringLiteral("code")) || query.hasQueryItem(QStringLiteral("error")));
        const QByteArray page = isAnswer
            ? QByteArrayLiteral("<!doctype html><title>Tessaron</title><p>Sign-in received. You can close this tab and "
                                "return to Tessaron.</p>")
            : QByteArrayLiteral("<!doctype html><title>Tessaron</title><p>Nothing here.</p>");
        socket->write((isAnswer ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 404 Not Found\r\n")
            + QByteArrayLiteral("Content-Type: text/html; charset=utf-8\r\nConnection: close\r\nContent-Length: ")
            + QByteArray::number(page.size()) + "\r\n\r\n" + page);
        socket->disconnectFromHost();
        m_buffers.remove(socket);
        // The sign-in goes on (and this listener goes away) as soon as the
        // answer is in, often before the page has left: the socket finishes
        // sending on its own, or the browser would see the connection reset.
        socket->setParent(nullptr);
        QTimer::singleShot(kPageSendLimitMs, socket, &QObject::deleteLater);
        if (isAnswer) {
            m_done = true;
            m_server.close();
            emit answered(query);
        }
    }

    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    bool m_done = false;
};

QString base64URL(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString randomHex(int bytes)
{
    QByteArray data(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->generate(data.begin(), data.end());
    return QString::fromLatin1(data.toHex());
}

} // namespace

NativeGoogleSignInService::NativeGoogleSignInService(GoogleSignInOptions options, QObject *parent)
    : QObject(parent), m_options(std::move(options)), m_network(new QNetworkAccessManager(this))
{
}

NativeGoogleSignInService::~NativeGoogleSignInService() = default;

Error NativeGoogleSignInService::error(ErrorCode code, const QString &message)
{
    QString text = message;
    switch (code) {
    case invalidClientID:
        text = QStringLiteral("Google OAuth client ID is missing.");
        break;
    case noPresentingWindow:
        text = QStringLiteral("No active app window found for Google sign-in.");
        break;
    case missingIDToken:
        text = QStringLiteral("Google token response did not include id_token.");
        break;
    case signInFailed:
        break;
    }
    return Error::make(QString::fromLatin1(kErrorDomain), code, text);
}

QString NativeGoogleSignInService::makeCodeVerifier()
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
    QString verifier;
    for (int i = 0; i < 64; ++i)
        verifier += QLatin1Char(alphabet[QRandomGenerator::system()->bounded(int(sizeof(alphabet) - 1))]);
    return verifier;
}

QString NativeGoogleSignInService::codeChallenge(const QString &verifier)
{
    return base64URL(QCryptographicHash::hash(verifier.toLatin1(), QCryptographicHash::Sha256));
}

void NativeGoogleSignInService::log(const QString &line) const
{
    if (m_debugLogger)
        m_debugLogger(line);
}

QCoro::Task<Result<NativeGoogleSignInResult>> NativeGoogleSignInService::signIn(
    QString clientID, std::optional<QString> serverClientID, std::optional<QString> clientSecret)
{
    const QString trimmedID = Text::trimmed(clientID);
    if (trimmedID.isEmpty())
        co_return error(invalidClientID);
    if (m_options.hasWindow && !m_options.hasWindow())
        co_return error(noPresentingWindow);
    if (serverClientID && Text::isBlank(*serverClientID))
        serverClientID.reset();
    if (clientSecret && Text::isBlank(*clientSecret))
        clientSecret.reset();

    log(QStringLiteral("Google sign-in configured; waiting for the browser."));
    QPointer<NativeGoogleSignInService> self(this);
    const QString verifier = makeCodeVerifier();
    m_pendingVerifier = verifier;
    Result<Authorization> authorization = co_await authorize(trimmedID);
    if (!self)
        co_return error(signInFailed, QStringLiteral("Google SDK sign-in failed: the sign-in service went away."));
    Result<QString> idToken = QString();
    if (authorization.ok()) {
        const Authorization granted = authorization.value();
        idToken = co_await exchangeCode(trimmedID, clientSecret, granted, verifier);
    } else {
        idToken = authorization.error();
    }
    if (!self)
        co_return error(signInFailed, QStringLiteral("Google SDK sign-in failed: the sign-in service went away."));
    if (idToken.ok() && idToken->isEmpty())
        idToken = error(missingIDToken);
    if (!idToken.ok()) {
        log(QStringLiteral("Google sign-in failed: ") + idToken.errorMessage());
        co_return error(signInFailed, QStringLiteral("Google SDK sign-in failed: ") + idToken.errorMessage());
    }
    log(QStringLiteral("Google sign-in returned an ID token."));
    co_return NativeGoogleSignInResult {idToken.value()};
}

QCoro::Task<Result<NativeGoogleSignInService::Authorization>> NativeGoogleSignInService::authorize(QString clientID)
{
    auto listener = std::make_unique<LoopbackListener>();
    if (!listener->listen())
        co_return Error::make(QStringLiteral("Could not listen on 127.0.0.1 for the sign-in answer."));
    const QString state = randomHex(16);
    const QString redirectURI = listener->redirectURI();
    QUrl url(m_options.authorizationEndpoint);
    QUrlQuery query(url);
    query.addQueryItem(QStringLiteral("response_type"), QStringLiteral("code"));
    query.addQueryItem(QStringLiteral("client_id"), clientID);
    query.addQueryItem(QStringLiteral("redirect_uri"), redirectURI);
    query.addQueryItem(QStringLiteral("scope"), m_options.scope);
    query.addQueryItem(QStringLiteral("state"), state);
    query.addQueryItem(QStringLiteral("code_challenge"), codeChallenge(m_pendingVerifier));
    query.addQueryItem(QStringLiteral("code_challenge_method"), QStringLiteral("S256"));
    url.setQuery(query);

    const bool opened = m_options.openBrowser
        ? m_options.openBrowser(url)
        : QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)});
    if (!opened)
        co_return Error::make(QStringLiteral("Could not open the browser for Google sign-in."));

    m_pendingState = state;
    QPointer<NativeGoogleSignInService> self(this);
    const auto answer = co_await qCoro(
        listener.get(), &LoopbackListener::answered, std::chrono::milliseconds(m_options.listenerTimeoutMs));
    listener->close();
    if (!self)
        co_return Error::make(QStringLiteral("The sign-in service went away."));
    m_pendingState.reset();
    if (!answer)
        co_return Error::make(QStringLiteral("Timed out waiting for the browser sign-in."));
    if (answer->queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded) != state)
        co_return Error::make(QStringLiteral("The sign-in answer did not belong to this sign-in (state mismatch)."));
    if (answer->hasQueryItem(QStringLiteral("error"))) {
        co_return Error::make(QStringLiteral("Google refused the sign-in: ")
            + answer->queryItemValue(QStringLiteral("error"), QUrl::FullyDecoded));
    }
    co_return Authorization {answer->queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded), redirectURI};
}

QCoro::Task<Result<QString>> NativeGoogleSignInService::exchangeCode(
    QString clientID, std::optional<QString> clientSecret, Authorization authorization, QString verifier)
{
    QUrlQuery form;
    form.addQueryItem(QStringLiteral("grant_type"), QStringLiteral("authorization_code"));
    form.addQueryItem(QStringLiteral("code"), authorization.code);
    form.addQueryItem(QStringLiteral("code_verifier"), verifier);
    form.addQueryItem(QStringLiteral("redirect_uri"), authorization.redirectURI);
    form.addQueryItem(QStringLiteral("client_id"), clientID);
    if (clientSecret)
        form.addQueryItem(QStringLiteral("client_secret"), *clientSecret);
    QNetworkRequest request {QUrl(m_options.tokenEndpoint)};
    request.setTransferTimeout(m_options.requestTimeoutMs);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    std::unique_ptr<QNetworkReply> reply(
        m_network->post(request, form.query(QUrl::FullyEncoded).replace(u'+', QStringLiteral("%2B")).toUtf8()));
    co_await qCoro(reply.get()).waitForFinished(std::chrono::milliseconds(-1));
    const QByteArray body = reply->read(1024 * 1024);
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        co_return Error::make(reply->error() == QNetworkReply::OperationCanceledError
                ? QStringLiteral("The token request timed out.")
                : reply->errorString());
    }
    const auto object = Json::parseObject(body);
    if (status.toInt() < 200 || status.toInt() > 299) {
        QString reason = object ? object->value(QStringLiteral("error_description")).toString() : QString();
        if (reason.isEmpty() && object)
            reason = object->value(QStringLiteral("error")).toString();
        co_return Error::make(QStringLiteral("The token endpoint answered %1%2")
                                  .arg(status.toInt())
                                  .arg(reason.isEmpty() ? QString() : QStringLiteral(": ") + reason));
    }
    if (!object)
        co_return Error::make(QStringLiteral("The token endpoint's answer is not JSON."));
    co_return object->value(QStringLiteral("id_token")).toString();
}

void NativeGoogleSignInService::signOut()
{
    m_pendingVerifier.clear();
    log(QStringLiteral("Google sign-in local session cleared."));
}

#include "NativeGoogleSignInService.moc"
