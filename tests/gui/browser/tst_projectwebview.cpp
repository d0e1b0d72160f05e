// A tab's page over the real web engine, against a small HTTP server on
// 127.0.0.1: what is loaded when, redirects, the time-out, refreshes, and
// navigations replaced by newer ones.

#include "browser/ProjectScopedWebView.h"
#include "browser/ProjectWebPage.h"
#include "browser/ProjectWebViewRegistry.h"
#include "browser/WebEngineModule.h"

#include <QApplication>
#include <QHash>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

// Serves "/page/<name>" (a page titled with its name), "/redirect" (302 to
// "/page/final") and "/slow" (never answers), and counts the requests of
// every path.
class LocalServer final : public QObject
{
public:
    LocalServer()
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { serve(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        QVERIFY(m_server.listen(QHostAddress::LocalHost));
    }
    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path);
    }
    int requests(const QString &path) const { return m_requests.value(path); }

private:
    void serve(QTcpSocket *socket)
    {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
        buffer.remove(0, end + 4);
        const QString path = requestLine.value(1);
        if (path == QLatin1String("/favicon.ico")) {
            socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
            return;
        }
        ++m_requests[path];
        if (path == QLatin1String("/slow"))
            return;
        if (path == QLatin1String("/redirect")) {
            socket->write("HTTP/1.1 302 Found\r\nLocation: /page/final\r\nContent-Length: 0\r\n\r\n");
            return;
        }
        const QByteArray body = "<html><head><title>" + path.toUtf8() + "</title></head><body>"
            + QByteArray::number(m_requests[path]) + "</body></html>";
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + QByteArray::number(body.size())
            + "\r\n\r\n" + body);
    }

    QTcpServer m_server;
    QHash<QString, int> m_requests;
    QHash<QTcpSocket *, QByteArray> m_buffers;
};

constexpr int engineWait = 20000;

struct Fixture
{
    LocalServer server;
    ProjectWebViewRegistry &registry = ProjectWebViewRegistry::shared();
    QWidget host;
    QUuid project = QUuid::createUuid();
    QUuid tab = QUuid::createUuid();
    QStringList navigated;
    std::unique_ptr<ProjectScopedWebView> view;

    ProjectScopedWebViewArguments arguments(const QString &path, qint64 refresh = 0, qint64 manual = 0)
    {
        return {project, tab, WebViewPurpose::workspace, server.url(path), refresh, manual,
            [this](const QString &address) { navigated << address; }};
    }
    void show(const QString &path)
    {
        view = std::make_unique<ProjectScopedWebView>(registry, arguments(path), &host);
        host.resize(300, 200);
        host.show();
    }
    ProjectWebPage *page() const { return view->page(); }
};

} // namespace

class TestProjectWebView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QString error;
        ProjectWebViewRegistry::shared().setLoadTimeout(std::chrono::milliseconds(8000));
        QVERIFY2(ProjectWebViewRegistry::shared().loadTimeout() == std::chrono::milliseconds(8000), "default");
        std::unique_ptr<WebContent> probe(WebEngineModule::createContent(nullptr, &error));
        QVERIFY2(probe, qPrintable(error));
    }

    void loadsOnlyWhenTheAddressChanges()
    {
        Fixture f;
        f.show(QStringLiteral("/page/a"));
        QTRY_COMPARE_WITH_TIMEOUT(f.navigated, QStringList {f.server.url("/page/a")}, engineWait);

        // The same address again, and a new page view over the cached page:
        // nothing is fetched.
        f.view->update(f.arguments(QStringLiteral("/page/a")));
        f.view.reset();
        f.show(QStringLiteral("/page/a"));
        QTest::qWait(300);
        QCOMPARE(f.server.requests("/page/a"), 1);

        // Counters present when a page view is made are not changes.
        f.view.reset();
        f.view = std::make_unique<ProjectScopedWebView>(f.registry, f.arguments("/page/a", 5, 7), &f.host);
        QTest::qWait(300);
        QCOMPARE(f.server.requests("/page/a"), 1);

        // Another address loads; the automatic counter reloads from the server.
        f.view->update(f.arguments("/page/b", 5, 7));
        QTRY_COMPARE_WITH_TIMEOUT(f.server.requests("/page/b"), 1, engineWait);
        QTRY_COMPARE_WITH_TIMEOUT(f.navigated.size(), 2, engineWait);
        f.view->update(f.arguments("/page/b", 6, 7));
        QTRY_COMPARE_WITH_TIMEOUT(f.server.requests("/page/b"), 2, engineWait);
        QTRY_COMPARE_WITH_TIMEOUT(f.navigated.size(), 3, engineWait);
        f.registry.evictWebView(f.project, f.tab, WebViewPurpose::workspace);
    }

    void reportsTheAddressARedirectEndsAt()
    {
        Fixture f;
        f.show(QStringLiteral("/redirect"));
        QTRY_COMPARE_WITH_TIMEOUT(f.navigated, QStringList {f.server.url("/page/final")}, engineWait);
        // The tab now holds the final address: nothing more is loaded.
        f.view->update(f.arguments(QStringLiteral("/page/final")));
        QTest::qWait(300);
        QCOMPARE(f.server.requests("/page/final"), 1);
        QCOMPARE(f.server.requests("/redirect"), 1);
        f.registry.evictWebView(f.project, f.tab, WebViewPurpose::workspace);
    }

    void manualRefreshReachesTheServerAgain()
    {
        Fixture f;
        f.show(QStringLiteral("/page/m"));
        QTRY_COMPARE_WITH_TIMEOUT(f.navigated.size(), 1, engineWait);
        f.view->update(f.arguments("/page/m", 0, 1));
        QTRY_COMPARE_WITH_TIMEOUT(f.server.requests("/page/m"), 2, engineWait);
        QTRY_COMPARE_WITH_TIMEOUT(f.navigated.size(), 2, engineWait);
        f.registry.evictWebView(f.project, f.tab, WebViewPurpose::workspace);
    }

    void aPageThatNeverFinishesIsBlankedAfterTheTimeOut()
    {
        Fixture f;
        f.registry.setLoadTimeout(std::chrono::milliseconds(400));
        f.show(QStringLiteral("/slow"));
        QTRY_COMPARE_WITH_TIMEOUT(f.server.requests("/slow"), 1, engineWait);
        QTRY_COMPARE_WITH_TIMEOUT(f.page()->currentURL(), QUrl(QStringLiteral("about:blank")), engineWait);
        QVERIFY(f.navigated.isEmpty());
        // The next update asks for the address again.
        f.view->update(f.arguments(QStringLiteral("/slow")));
        QTRY_COMPARE_WITH_TIMEOUT(f.server.requests("/slow"), 2, engineWait);
        f.registry.setLoadTimeout(std::chrono::milliseconds(8000));
        f.registry.evictWebView(f.project, f.tab, WebViewPurpose::workspace);
    }

    void anUnreachableServerBlanksThePage()
    {
        Fixture f;
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QString address = QStringLiteral("http://127.0.0.1:%1/").arg(closed.serverPort());
        closed.close();
        f.view = std::make_unique<ProjectScopedWebView>(f.registry,
            ProjectScopedWebViewArguments {f.project, f.tab, WebViewPurpose::workspace, address, 0, 0, {}}, &f.host);
        QTRY_COMPARE_WITH_TIMEOUT(f.page()->currentURL(), QUrl(QStringLiteral("about:blank")), engineWait);
        f.registry.evictWebView(f.project, f.tab, WebViewPurpose::workspace);
    }

    void aStoppedLoadIsReportedAsCancelledAndKeepsThePage()
    {
        Fixture f;
        // The engine reports a stopped load as a failed one ("aborted"): the
        // module tells it apart from a real failure.
        QWidget host;
        std::unique_ptr<WebContent> content(WebEngineModule::createContent(&host));
        QList<WebLoadOutcome> outcomes;
        WebContentEvents events;
        events.loadOutcome = [&](const WebLoadOutcome &outcome) { outcomes << outcome; };
        content->setEvents(std::move(events));
        content->load(QUrl(f.server.url(QStringLiteral("/slow"))));
        QTRY_COMPARE_WITH_TIMEOUT(f.server.requests("/slow"), 1, engineWait);
        content->stop();
        QTRY_COMPARE_WITH_TIMEOUT(outcomes.size(), 1, engineWait);
        QVERIFY(!outcomes.first().ok);
        QVERIFY(outcomes.first().cancelled);

        // A preview page that is stopped keeps its address; it is not blanked.
        f.show(QStringLiteral("/slow"));
        QTRY_COMPARE_WITH_TIMEOUT(f.server.requests("/slow"), 2, engineWait);
        f.page()->stopLoading();
        QTest::qWait(500);
        QCOMPARE(f.page()->currentURL(), QUrl(f.server.url(QStringLiteral("/slow"))));
        f.registry.evictWebView(f.project, f.tab, WebViewPurpose::workspace);
    }

    void supersededNavigationsDoNotBlank()
    {
        Fixture f;
        // A quick second navigation while the first is still waiting.
        f.show(QStringLiteral("/slow"));
        QTRY_COMPARE_WITH_TIMEOUT(f.server.requests("/slow"), 1, engineWait);
        f.view->update(f.arguments(QStringLiteral("/page/second")));
        QTRY_COMPARE_WITH_TIMEOUT(f.navigated, QStringList {f.server.url("/page/second")}, engineWait);
        QTest::qWait(500);
        QCOMPARE(f.page()->currentURL(), QUrl(f.server.url("/page/second")));

        // Both counters in one update: two reloads, the second replacing the first.
        f.view->update(f.arguments("/page/second", 1, 1));
        QTRY_COMPARE_WITH_TIMEOUT(f.navigated.size(), 2, engineWait);
        QTest::qWait(500);
        QCOMPARE(f.page()->currentURL(), QUrl(f.server.url("/page/second")));
        QVERIFY(f.server.requests("/page/second") >= 2);

        // A new address and a reload in one update end on the new address.
        f.view->update(f.arguments("/page/third", 1, 2));
        QTRY_COMPARE_WITH_TIMEOUT(f.navigated.last(), f.server.url("/page/third"), engineWait);
        QTest::qWait(500);
        QCOMPARE(f.page()->currentURL(), QUrl(f.server.url("/page/third")));
        f.registry.evictWebView(f.project, f.tab, WebViewPurpose::workspace);
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    TestProjectWebView test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_projectwebview.moc"
