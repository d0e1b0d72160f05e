// The registry of preview pages over stand-in web views that record what is
// done to them: the cache of four, least recently used out first, and the
// order in which a page is let go.

#include "RecordingContent.h"
#include "browser/ProjectWebPage.h"
#include "browser/ProjectWebViewRegistry.h"

#include <QApplication>
#include <QPointer>
#include <QTest>
#include <QWidget>

namespace {

struct Fixture
{
    QStringList log;
    int made = 0;
    ProjectWebViewRegistry registry {[this](std::chrono::milliseconds timeout, QString *) {
        ++made;
        return new ProjectWebPage(new RecordingContent(&log), timeout);
    }};
    QUuid project = QUuid::createUuid();
    QList<QUuid> tabs {QUuid::createUuid(), QUuid::createUuid(), QUuid::createUuid(), QUuid::createUuid(),
        QUuid::createUuid(), QUuid::createUuid()};
    QString key(int tab) const { return ProjectWebViewRegistry::viewKey(project, tabs[tab]); }
    ProjectWebPage *request(int tab) { return registry.webView(project, tabs[tab], WebViewPurpose::workspace); }
};

} // namespace

class TestWebViewRegistry : public QObject
{
    Q_OBJECT

private slots:
    void keyIsLowerCase()
    {
        const QUuid project = QUuid::fromString(QStringLiteral("{6F9619FF-8B86-D011-B42D-00C04FC964FF}"));
        const QString key = ProjectWebViewRegistry::viewKey(project, project);
        QCOMPARE(key, QStringLiteral("6f9619ff-8b86-d011-b42d-00c04fc964ff::6f9619ff-8b86-d011-b42d-00c04fc964ff"));
        QCOMPARE(key.size(), 74);
    }

    void keepsTheFourMostRecentlyUsed()
    {
        Fixture f;
        QPointer<ProjectWebPage> first = f.request(0);
        for (int i = 1; i < 4; ++i)
            f.request(i);
        // Asking for a cached page hands out the same page and makes it recent.
        QCOMPARE(f.request(0), first.data());
        QCOMPARE(f.made, 4);
        QCOMPARE(f.registry.workspaceLRU(), (QStringList {f.key(1), f.key(2), f.key(3), f.key(0)}));

        f.request(4);
        QCOMPARE(f.registry.workspaceLRU(), (QStringList {f.key(2), f.key(3), f.key(0), f.key(4)}));
        QVERIFY(!f.registry.cachedWebView(f.key(1)));
        QVERIFY(first);

        // The evicted page was stopped and blanked, and is gone; asking again
        // makes a new empty page and evicts the then least recent.
        QCOMPARE(f.log.mid(f.log.size() - 2), (QStringList {"stop", "blank"}));
        ProjectWebPage *again = f.request(1);
        QVERIFY(again->currentURL().isEmpty());
        QCOMPARE(f.made, 6);
        QVERIFY(!f.registry.cachedWebView(f.key(2)));
        QCOMPARE(f.registry.workspaceLRU().size(), 4);
    }

    void teardownStopsForgetsTheDelegateThenBlanks()
    {
        Fixture f;
        ProjectWebPage *page = f.request(0);
        page->load(QUrl(QStringLiteral("http://127.0.0.1:1/")));
        QStringList delegateCalls;
        page->setNavigationDelegate({[&](const QUrl &url) { delegateCalls << url.toString(); },
            [&] { delegateCalls << QStringLiteral("fail"); }});
        f.log.clear();
        QPointer<ProjectWebPage> watched = page;
        f.registry.evictWebView(f.project, f.tabs[0], WebViewPurpose::workspace);
        QCOMPARE(f.log, (QStringList {"stop", "blank"}));
        // The blank page's own finish never reached the old delegate.
        QVERIFY(delegateCalls.isEmpty());
        QVERIFY(!watched);
        QVERIFY(f.registry.workspaceLRU().isEmpty());

        // Evicting what is not cached, or with the other purpose, changes nothing.
        f.request(1);
        f.registry.evictWebView(f.project, f.tabs[0], WebViewPurpose::workspace);
        f.registry.evictWebView(f.project, f.tabs[1], WebViewPurpose::gettingStarted);
        QCOMPARE(f.registry.workspaceLRU(), QStringList {f.key(1)});
    }

    void pagesOnScreenOutliveEviction()
    {
        Fixture f;
        QWidget screen;
        ProjectWebPage *cached = f.request(0);
        cached->widget()->setParent(&screen);
        QPointer<ProjectWebPage> watched = cached;
        // Released while cached: kept, untouched.
        f.log.clear();
        f.registry.releaseWebViewIfUncached(cached);
        QVERIFY(watched);
        QVERIFY(f.log.isEmpty());

        // Evicted while on screen: torn down, but its holder lets it go.
        for (int i = 1; i <= 4; ++i)
            f.request(i);
        QVERIFY(watched);
        QCOMPARE(watched->currentURL(), QUrl(QStringLiteral("about:blank")));
        watched->widget()->setParent(nullptr);
        f.registry.releaseWebViewIfUncached(watched);
        QVERIFY(!watched);
    }

    void gettingStartedPagesAreFreshAndWatchedWeakly()
    {
        Fixture f;
        f.registry.evictUncachedWebViews(WebViewPurpose::gettingStarted);
        QVERIFY(!f.registry.hasUncachedList(WebViewPurpose::gettingStarted));

        std::unique_ptr<ProjectWebPage> a(f.registry.webView(f.project, f.tabs[0], WebViewPurpose::gettingStarted));
        ProjectWebPage *b = f.registry.webView(f.project, f.tabs[0], WebViewPurpose::gettingStarted);
        QVERIFY(a.get() != b);
        QVERIFY(f.registry.workspaceLRU().isEmpty());
        QCOMPARE(f.registry.liveUncachedWebViews(WebViewPurpose::gettingStarted), 2);

        // Leaving the screen tears a getting-started page down and deletes it.
        QPointer<ProjectWebPage> watchedB = b;
        f.registry.releaseWebViewIfUncached(b);
        QVERIFY(!watchedB);
        QCOMPARE(f.registry.liveUncachedWebViews(WebViewPurpose::gettingStarted), 1);

        f.log.clear();
        f.registry.evictUncachedWebViews(WebViewPurpose::gettingStarted);
        QCOMPARE(f.log, (QStringList {"stop", "blank"}));
        QCOMPARE(f.registry.liveUncachedWebViews(WebViewPurpose::gettingStarted), 0);
        QCOMPARE(a->currentURL(), QUrl(QStringLiteral("about:blank")));
    }
};

QTEST_MAIN(TestWebViewRegistry)
#include "tst_webviewregistry.moc"
