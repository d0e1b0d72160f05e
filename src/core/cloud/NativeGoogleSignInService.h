#pragma once

#include "common/Result.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

class QNetworkAccessManager;

// What a successful sign-in hands back: the user's Google ID token.
struct NativeGoogleSignInResult
{
    QString idToken; // never empty
};

// Where and how the sign-in runs. The defaults are Google's endpoints and
// the desktop's browser; tests point the endpoints at a stand-in and open
// the authorization address themselves.
struct GoogleSignInOptions
{
    QString authorizationEndpoint = QStringLiteral("https://accounts.google.com/o/oauth2/v2/auth");
    QString tokenEndpoint = QStringLiteral("https://oauth2.googleapis.com/token");
    QString scope = QStringLiteral("openid email profile");
    int listenerTimeoutMs = 5 * 60 * 1000; // how long the browser may take
    int requestTimeoutMs = 60000; // the token request's stall time-out
    // Opens the authorization address; false when no browser could be started.
    std::function<bool(const QUrl &)> openBrowser; // default: xdg-open
    // Whether the application has a window the sign-in belongs to.
    std::function<bool()> hasWindow; // default: always
};

// Signs a Google account in through the user's browser and returns its ID
// token: the OAuth 2.0 authorization-code flow with PKCE (S256) and a
// redirect to a one-shot listener on 127.0.0.1. The answer must carry the
// state of the request; the listener answers once and closes, or closes at
// its time-out. Failures are Errors in `kErrorDomain` whose code is an
// `ErrorCode` and whose message is the user-readable text.
class NativeGoogleSignInService final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NativeGoogleSignInService)

public:
    static constexpr const char *kErrorDomain = "NativeGoogleSignInError";
    enum ErrorCode { signInFailed = 1, invalidClientID, noPresentingWindow, missingIDToken };
    using DebugLogger = std::function<void(const QString &)>;

    explicit NativeGoogleSignInService(GoogleSignInOptions options = {}, QObject *parent = nullptr);
    ~NativeGoogleSignInService() override;

    void setDebugLogger(DebugLogger logger) { m_debugLogger = std::move(logger); }
    GoogleSignInOptions &options() { return m_options; }

    // `serverClientID` has no use in this flow; it is trimmed and otherwise
    // ignored. `clientSecret` is sent to the token endpoint only when it is
    // given and not blank (Google's desktop clients have one).
    QCoro::Task<Result<NativeGoogleSignInResult>> signIn(
        QString clientID, std::optional<QString> serverClientID, std::optional<QString> clientSecret = std::nullopt);
    // Forgets the local sign-in (there is nothing kept between sign-ins) and
    // says so in the debug log.
    void signOut();
    // The state of the sign-in waiting for its browser answer, if any.
    const std::optional<QString> &pendingState() const { return m_pendingState; }

    static Error error(ErrorCode code, const QString &message = QString());
    // PKCE helpers: a 64-character verifier and its S256 challenge.
    static QString makeCodeVerifier();
    static QString codeChallenge(const QString &verifier);

private:
    struct Authorization
    {
        QString code;
        QString redirectURI;
    };
    QCoro::Task<Result<Authorization>> authorize(QString clientID);
    QCoro::Task<Result<QString>> exchangeCode(
        QString clientID, std::optional<QString> clientSecret, Authorization authorization, QString verifier);
    void log(const QString &line) const;

    GoogleSignInOptions m_options;
    DebugLogger m_debugLogger;
    QNetworkAccessManager *m_network;
    QString m_pendingVerifier;
    std::optional<QString> m_pendingState;
};
