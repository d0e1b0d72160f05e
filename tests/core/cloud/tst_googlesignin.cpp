#include "FakeCloudBackend.h"
#include "cloud/NativeGoogleSignInService.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTest>
#include <QUrlQuery>

// The browser: follows the authorization address and its redirect to the
// loopback listener.
class FakeBrowser
{
public:
    bool open(const QUrl &url)
    {
        opened.append(url);
        if (!follow)
            return true;
        QNetworkReply *reply = m_network.get(QNetworkRequest(url));
        QObject::connect(reply, &QNetworkReply::finished, reply, [this, reply] {
            pages.append(reply->error() == QNetworkReply::NoError ? QString::fromUtf8(reply->readAll())
                                                                  : QStringLiteral("error: ") + reply->errorString());
            reply->deleteLater();
        });
        return true;
    }
    QList<QUrl> opened;
    // What the browser showed at the end of each address it opened.
    QStringList pages;
    bool follow = true;

private:
    QNetworkAccessManager m_network;
};

class TestGoogleSignIn : public QObject
{
    Q_OBJECT

    std::unique_ptr<FakeCloudBackend> m_backend;
    FakeBrowser m_browser;
    QStringList m_log;

    std::unique_ptr<NativeGoogleSignInService> service(int listenerTimeoutMs = 20000)
    {
        GoogleSignInOptions options;
        options.authorizationEndpoint = m_backend->origin() + QStringLiteral("/oauth/authorize");
        options.tokenEndpoint = m_backend->origin() + QStringLiteral("/oauth/token");
        options.listenerTimeoutMs = listenerTimeoutMs;
        options.openBrowser = [this](const QUrl &url) { return m_browser.open(url); };
        auto signIn = std::make_unique<NativeGoogleSignInService>(options);
        signIn->setDebugLogger([this](const QString &line) { m_log.append(line); });
        return signIn;
    }

private slots:
    void initTestCase()
    {
        m_backend = std::make_unique<FakeCloudBackend>();
        QVERIFY(m_backend->isRunning());
    }
    void init()
    {
        m_backend->reset();
        m_browser.opened.clear();
        m_browser.pages.clear();
        m_browser.follow = true;
        m_log.clear();
    }

    void pkceFlowReturnsTheIDToken()
    {
        auto signIn = service();
        const auto result
            = awaitTask(signIn->signIn(QStringLiteral("  client-1.apps \n"), QStringLiteral(" "), std::nullopt));
        QVERIFY(result);
        QVERIFY2(result->ok(), qPrintable(result->errorMessage()));
        QCOMPARE(result->value().idToken, QStringLiteral("google-id-token"));

        QCOMPARE(m_browser.opened.size(), 1);
        const QUrlQuery query(m_browser.opened.first());
        QCOMPARE(query.queryItemValue("client_id"), QStringLiteral("client-1.apps"));
        QCOMPARE(query.queryItemValue("code_challenge_method"), QStringLiteral("S256"));
        QVERIFY(query.queryItemValue("redirect_uri").startsWith(QStringLiteral("http://127.0.0.1:")));
        const auto requests = m_backend->requests();
        const auto token
            = std::find_if(requests.begin(), requests.end(), [](const auto &r) { return r.path == "/oauth/token"; });
        QVERIFY(token != requests.end());
        QVERIFY(!QUrlQuery(QString::fromUtf8(token->body)).hasQueryItem("client_secret"));
        QCOMPARE(m_log,
            (QStringList {
                "Google sign-in configured; waiting for the browser.", "Google sign-in returned an ID token."}));

        // The browser shows the listener's whole page, though the sign-in went
        // on (and the listener went away) as soon as the answer was in.
        QVERIFY(TestSupport::waitUntil([&] { return !m_browser.pages.isEmpty(); }));
        QVERIFY2(
            m_browser.pages.first().contains(QStringLiteral("Sign-in received")), qPrintable(m_browser.pages.first()));

        // The listener answered once and is gone.
        QTcpSocket probe;
        probe.connectToHost(
            QUrl(query.queryItemValue("redirect_uri")).host(), QUrl(query.queryItemValue("redirect_uri")).port());
        QVERIFY(!probe.waitForConnected(500));
    }

    void clientSecretOnlyWhenSet()
    {
        auto signIn = service();
        QVERIFY(awaitTask(signIn->signIn(QStringLiteral("c"), std::nullopt, QStringLiteral("s3cret")))->ok());
        const auto requests = m_backend->requests();
        QCOMPARE(QUrlQuery(QString::fromUtf8(requests.last().body)).queryItemValue("client_secret"),
            QStringLiteral("s3cret"));
    }

    void failures_data()
    {
        QTest::addColumn<QJsonObject>("backendState");
        QTest::addColumn<bool>("browserFollows");
        QTest::addColumn<QString>("message");
        QTest::newRow("wrong state")
            << QJsonObject {{"force_state", "forged"}} << true
            << "Google SDK sign-in failed: The sign-in answer did not belong to this sign-in (state mismatch).";
        QTest::newRow("refused") << QJsonObject {{"oauth_error", "access_denied"}} << true
                                 << "Google SDK sign-in failed: Google refused the sign-in: access_denied";
        QTest::newRow("no id_token") << QJsonObject {{"omit_id_token", true}} << true
                                     << "Google SDK sign-in failed: Google token response did not include id_token.";
        QTest::newRow("time-out") << QJsonObject {} << false
                                  << "Google SDK sign-in failed: Timed out waiting for the browser sign-in.";
    }
    void failures()
    {
        QFETCH(QJsonObject, backendState);
        QFETCH(bool, browserFollows);
        QFETCH(QString, message);
        m_backend->setState(backendState);
        m_browser.follow = browserFollows;
        // Only the time-out row waits briefly; the others get their answer.
        auto signIn = service(browserFollows ? 20000 : 400);
        const auto result = awaitTask(signIn->signIn(QStringLiteral("client"), std::nullopt));
        QVERIFY(result && !result->ok());
        QCOMPARE(result->errorMessage(), message);
        QCOMPARE(result->error().code, int(NativeGoogleSignInService::signInFailed));
        QVERIFY(m_log.last().startsWith(QStringLiteral("Google sign-in failed: ")));
    }

    void checksBeforeTheBrowser()
    {
        auto signIn = service();
        const auto blank = awaitTask(signIn->signIn(QStringLiteral(" \n "), std::nullopt));
        QCOMPARE(blank->errorMessage(), QStringLiteral("Google OAuth client ID is missing."));
        signIn->options().hasWindow = [] { return false; };
        QCOMPARE(awaitTask(signIn->signIn(QStringLiteral(" "), std::nullopt))->error().code,
            int(NativeGoogleSignInService::invalidClientID));
        QCOMPARE(awaitTask(signIn->signIn(QStringLiteral("c"), std::nullopt))->errorMessage(),
            QStringLiteral("No active app window found for Google sign-in."));
        QVERIFY(m_browser.opened.isEmpty());
        QVERIFY(m_log.isEmpty());
        signIn->signOut();
        QCOMPARE(m_log, QStringList {"Google sign-in local session cleared."});
    }

    void challengeIsS256()
    {
        // RFC 7636 appendix B.
        QCOMPARE(
            NativeGoogleSignInService::codeChallenge(QStringLiteral("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk")),
            QStringLiteral("E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"));
        QCOMPARE(NativeGoogleSignInService::makeCodeVerifier().size(), 64);
    }
};

QTEST_GUILESS_MAIN(TestGoogleSignIn)
#include "tst_googlesignin.moc"
