// The web preview's addresses, tab titles and tab rules, without a web view.

#include "browser/BrowserTabs.h"

#include <QTest>

namespace {

struct Recorder
{
    QStringList urlChanges;
    QList<QUuid> evicted;
    BrowserSidebarModel::Hooks hooks()
    {
        return {[this](const QString &address) { urlChanges << address; },
            [this](const QUuid &, const QUuid &tabID, WebViewPurpose) { evicted << tabID; }};
    }
};

QStringList titles(const BrowserSidebarModel &model)
{
    QStringList result;
    for (const BrowserTab &tab : model.tabs())
        result << tab.title;
    return result;
}

} // namespace

class TestBrowserTabs : public QObject
{
    Q_OBJECT

private slots:
    void normalizesAddresses_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("normalized");
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("loadable");
        const QString local = QStringLiteral("http://localhost:3000");
        QTest::newRow("empty") << "" << local << "localhost" << true;
        QTest::newRow("white space only") << " \n\t " << local << "localhost" << true;
        QTest::newRow("bare host") << "example.test"
                                   << "http://example.test"
                                   << "example.test" << true;
        QTest::newRow("host and port, case kept") << "  MyApp.Local:5173/path "
                                                  << "http://MyApp.Local:5173/path"
                                                  << "MyApp.Local" << true;
        QTest::newRow("https trimmed only") << " https://Docs.Example/x\n"
                                            << "https://Docs.Example/x"
                                            << "Docs.Example" << true;
        QTest::newRow("other scheme kept, never loaded") << "ftp://files.test"
                                                         << "ftp://files.test"
                                                         << "files.test" << false;
        QTest::newRow("file address never loaded") << "file:///etc/passwd"
                                                   << "file:///etc/passwd"
                                                   << "Tab" << false;
        QTest::newRow("scheme-like text in the query") << "a.test/?next=http://b.test"
                                                       << "a.test/?next=http://b.test"
                                                       << "Tab" << false;
        QTest::newRow("words become a host with a space") << "hello world"
                                                          << "http://hello world"
                                                          << "Tab" << false;
        QTest::newRow("user and port stripped from the title") << "http://me@Box.Test:81/a?b#c"
                                                               << "http://me@Box.Test:81/a?b#c"
                                                               << "Box.Test" << true;
        QTest::newRow("IPv6 loopback") << "http://[::1]:8080/"
                                       << "http://[::1]:8080/"
                                       << "::1" << true;
        QTest::newRow("javascript never loaded") << "javascript:alert(1)"
                                                 << "http://javascript:alert(1)"
                                                 << "Tab" << false;
    }
    void normalizesAddresses()
    {
        QFETCH(QString, typed);
        QFETCH(QString, normalized);
        QFETCH(QString, title);
        QFETCH(bool, loadable);
        const QString result = BrowserAddress::normalizeURLString(typed);
        QCOMPARE(result, normalized);
        QCOMPARE(BrowserAddress::tabTitle(result), title);
        QCOMPARE(BrowserAddress::loadableURL(result).has_value(), loadable);
    }

    void suppressesAutomaticRefreshOfOfficeDocuments_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("suppressed");
        QTest::newRow("document editor") << "https://docs.google.com/document/d/1" << true;
        QTest::newRow("spreadsheet host, any case") << "https://Sheets.Google.com/x" << true;
        QTest::newRow("spreadsheet path on another host") << "https://drive.google.com/a/SpreadSheets/b" << true;
        QTest::newRow("other path on another host") << "https://drive.google.com/file/d/1" << false;
        QTest::newRow("lookalike domain") << "https://evilgoogle.com/spreadsheets/1" << false;
        QTest::newRow("local app") << "http://localhost:3000/spreadsheets/" << false;
    }
    void suppressesAutomaticRefreshOfOfficeDocuments()
    {
        QFETCH(QString, address);
        QFETCH(bool, suppressed);
        QCOMPARE(BrowserAddress::shouldSuppressAutoRefresh(QUrl(address)), suppressed);
    }

    void firstTabUsesTheWorkspaceIdAndStartingAddress()
    {
        Recorder recorder;
        const QUuid project = QUuid::createUuid();
        BrowserSidebarModel model(
            project, WebViewPurpose::workspace, QStringLiteral(" app.test:8080 "), recorder.hooks());
        model.appear();
        QCOMPARE(model.tabs().size(), 1);
        QCOMPARE(model.tabs().first(),
            (BrowserTab {project, QStringLiteral("Workspace"), QStringLiteral("http://app.test:8080")}));
        QCOMPARE(model.activeTabID(), project);
        QCOMPARE(model.addressBarText(), QStringLiteral("http://app.test:8080"));
        QVERIFY(recorder.urlChanges.isEmpty());

        // A later starting address reaches new tabs, not the existing one.
        model.setInitialURLString(QStringLiteral("other.test"));
        QCOMPARE(model.tabs().first().urlString, QStringLiteral("http://app.test:8080"));
        model.addNewTab();
        QCOMPARE(titles(model), (QStringList {"Workspace", "New Tab"}));
        QCOMPARE(model.tabs().last().urlString, QStringLiteral("http://other.test"));
        QCOMPARE(model.activeTabID(), model.tabs().last().id);
        QCOMPARE(model.addressBarText(), QStringLiteral("http://other.test"));
    }

    void newTabOpensTheStartingAddressAndTakesTheHostOnceNavigated()
    {
        Recorder recorder;
        BrowserSidebarModel model(QUuid::createUuid(), WebViewPurpose::workspace, "start.test", recorder.hooks());
        model.appear();
        model.setAddressBarText(QStringLiteral("elsewhere.test"));
        model.navigateFromAddressBar();
        model.addNewTab();
        QCOMPARE(model.tabs().last().urlString, QStringLiteral("http://start.test"));
        QCOMPARE(model.tabs().last().title, QStringLiteral("New Tab"));
        model.setAddressBarText(QStringLiteral("half-typed"));
        model.handleNavigated(QStringLiteral("http://Final.Test/landing"));
        QCOMPARE(model.tabs().last().title, QStringLiteral("Final.Test"));
        QCOMPARE(model.tabs().last().urlString, QStringLiteral("http://Final.Test/landing"));
        QCOMPARE(model.addressBarText(), QStringLiteral("http://Final.Test/landing"));
        QCOMPARE(recorder.urlChanges.last(), QStringLiteral("http://Final.Test/landing"));
    }

    void submittingTheShownAddressRefreshesInsteadOfLoading()
    {
        Recorder recorder;
        BrowserSidebarModel model(QUuid::createUuid(), WebViewPurpose::workspace, QString(), recorder.hooks());
        model.appear();
        // Empty field: the default address, which is already shown.
        model.setAddressBarText(QString());
        model.navigateFromAddressBar();
        QCOMPARE(model.manualRefreshToken(), 1);
        QCOMPARE(recorder.urlChanges, QStringList {"http://localhost:3000"});
        QCOMPARE(model.tabs().first().title, QStringLiteral("localhost"));

        model.setAddressBarText(QStringLiteral("  Api.Test:9000 "));
        model.navigateFromAddressBar();
        QCOMPARE(model.manualRefreshToken(), 1);
        QCOMPARE(model.activeURLString(), QStringLiteral("http://Api.Test:9000"));
        QCOMPARE(model.addressBarText(), QStringLiteral("http://Api.Test:9000"));
        QCOMPARE(model.tabs().first().title, QStringLiteral("Api.Test"));
        QCOMPARE(recorder.urlChanges.last(), QStringLiteral("http://Api.Test:9000"));
    }

    void closingTabs()
    {
        Recorder recorder;
        const QUuid project = QUuid::createUuid();
        BrowserSidebarModel model(project, WebViewPurpose::workspace, "a.test", recorder.hooks());
        model.appear();
        // The last tab stays.
        model.closeTab(project);
        QCOMPARE(model.tabs().size(), 1);
        QVERIFY(recorder.evicted.isEmpty());

        model.addNewTab();
        const QUuid second = model.tabs()[1].id;
        model.addNewTab();
        const QUuid third = model.tabs()[2].id;
        model.addNewTab();
        const QUuid fourth = model.tabs()[3].id;
        model.selectTab(second);
        QCOMPARE(model.addressBarText(), QStringLiteral("http://a.test"));

        // Closing the active middle tab selects the rightmost one.
        model.updateActiveTabURL(QStringLiteral("http://second.test"));
        model.closeTab(second);
        QCOMPARE(model.activeTabID(), fourth);
        QCOMPARE(recorder.evicted, QList<QUuid> {second});

        // Closing an inactive tab keeps the selection and the typed text.
        model.setAddressBarText(QStringLiteral("typing"));
        model.closeTab(third);
        QCOMPARE(model.activeTabID(), fourth);
        QCOMPARE(model.addressBarText(), QStringLiteral("typing"));
        QCOMPARE(model.tabs().size(), 2);
        QVERIFY(recorder.urlChanges.isEmpty());
        QCOMPARE(model.workspaceSessions().value(project).tabs, model.tabs());
    }

    void sessionsFollowTheWorkspace()
    {
        Recorder recorder;
        const QUuid first = QUuid::createUuid();
        const QUuid second = QUuid::createUuid();
        BrowserSidebarModel model(first, WebViewPurpose::workspace, "one.test", recorder.hooks());
        model.appear();
        model.addNewTab();
        const QList<BrowserTab> firstTabs = model.tabs();

        model.setInitialURLString(QStringLiteral("two.test"));
        model.setProjectID(second);
        QCOMPARE(model.tabs().size(), 1);
        QCOMPARE(model.tabs().first().id, second);
        QCOMPARE(model.tabs().first().urlString, QStringLiteral("http://two.test"));

        model.setProjectID(first);
        QCOMPARE(model.tabs(), firstTabs);
        QCOMPARE(model.activeTabID(), firstTabs.last().id);
    }

    void gettingStartedKeepsNoSession()
    {
        Recorder recorder;
        const QUuid project = QUuid::createUuid();
        BrowserSidebarModel model(project, WebViewPurpose::gettingStarted, "docs.test", recorder.hooks());
        model.setWorkspaceSession(project, {{BrowserTab {QUuid::createUuid(), "Old", "http://old.test"}}, {}, {}});
        model.appear();
        QCOMPARE(model.tabs().size(), 1);
        QVERIFY(model.tabs().first().id != project);
        QCOMPARE(model.tabs().first().urlString, QStringLiteral("http://docs.test"));
        const QUuid firstID = model.tabs().first().id;
        model.addNewTab();
        QCOMPARE(model.workspaceSessions().value(project).tabs.first().title, QStringLiteral("Old"));

        model.setProjectID(QUuid::createUuid());
        QCOMPARE(model.tabs().size(), 1);
        QVERIFY(model.tabs().first().id != firstID);
    }

    void focusRequests()
    {
        Recorder recorder;
        BrowserSidebarModel model(QUuid::createUuid(), WebViewPurpose::workspace, QString(), recorder.hooks());
        QVERIFY(!model.takeFocusRequest(0));
        QVERIFY(model.takeFocusRequest(1));
        QVERIFY(!model.takeFocusRequest(1));
        QVERIFY(model.takeFocusRequest(2));
    }
};

QTEST_GUILESS_MAIN(TestBrowserTabs)
#include "tst_browsertabs.moc"
