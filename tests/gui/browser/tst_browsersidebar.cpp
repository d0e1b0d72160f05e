// The web preview sidebar's widgets over stand-in web views: the tab strip,
// the address bar, hiding, focusing and what a new appearance starts with.

#include "RecordingContent.h"
#include "browser/BrowserTabs.h"
#include "browser/ProjectBrowserSidebarView.h"
#include "browser/ProjectScopedWebView.h"
#include "browser/ProjectWebPage.h"
#include "browser/ProjectWebViewRegistry.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

namespace {

struct Fixture
{
    QStringList log;
    QList<RecordingContent *> contents;
    ProjectWebViewRegistry registry {[this](std::chrono::milliseconds timeout, QString *) {
        contents << new RecordingContent(&log);
        return new ProjectWebPage(contents.last(), timeout);
    }};
    QUuid project = QUuid::createUuid();
    QStringList urlChanges;
    QList<bool> visibilityWrites;
    QWidget window;
    ProjectBrowserSidebarView *sidebar = nullptr;

    ProjectBrowserSidebarArguments arguments(qint64 focusToken = 0, qint64 refreshToken = 0)
    {
        ProjectBrowserSidebarArguments result;
        result.projectID = project;
        result.initialURLString = QStringLiteral("app.test:5173");
        result.refreshToken = refreshToken;
        result.focusAddressBarToken = focusToken;
        result.setVisible = [this](bool visible) { visibilityWrites << visible; };
        result.onURLChange = [this](const QString &address) { urlChanges << address; };
        return result;
    }
    void show(qint64 focusToken = 0)
    {
        sidebar = new ProjectBrowserSidebarView(arguments(focusToken), registry, &window);
        window.resize(ProjectBrowserSidebarView::defaultSidebarWidth, 600);
        sidebar->resize(window.size());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
    }
    QList<QLabel *> titles() const
    {
        QList<QLabel *> result = sidebar->findChildren<QLabel *>(QStringLiteral("browserTabTitle"));
        result.removeIf([](QLabel *label) { return !label->isVisible(); });
        return result;
    }
    int closeButtons() const
    {
        int count = 0;
        for (auto *button : sidebar->findChildren<QToolButton *>(QStringLiteral("browserTabCloseButton")))
            count += button->isVisible() ? 1 : 0;
        return count;
    }
    QLineEdit *field() const { return sidebar->findChild<QLineEdit *>(QStringLiteral("browserAddressField")); }
    void click(const QString &name) const
    {
        QWidget *button = sidebar->findChild<QWidget *>(name);
        QVERIFY2(button, qPrintable(name));
        QTest::mouseClick(button, Qt::LeftButton);
        QCoreApplication::processEvents();
    }
};

} // namespace

class TestBrowserSidebar : public QObject
{
    Q_OBJECT

private slots:
    void showsTheStartingAddressInOneTab()
    {
        Fixture f;
        f.show();
        QCOMPARE(f.titles().size(), 1);
        QCOMPARE(f.titles().first()->text(), QStringLiteral("Workspace"));
        QCOMPARE(f.closeButtons(), 0);
        QCOMPARE(f.field()->text(), QStringLiteral("http://app.test:5173"));
        QCOMPARE(f.field()->placeholderText(), QStringLiteral("http://localhost:3000"));
        // The first tab's page is the workspace's own, loaded once.
        QCOMPARE(f.registry.workspaceLRU(), QStringList {ProjectWebViewRegistry::viewKey(f.project, f.project)});
        QCOMPARE(f.log, QStringList {"load http://app.test:5173"});
        QVERIFY(f.sidebar->minimumWidth() == 320 && f.sidebar->maximumWidth() == 980);
    }

    void tabsAddSelectAndClose()
    {
        Fixture f;
        f.show();
        f.click(QStringLiteral("browserNewTabButton"));
        QCOMPARE(f.titles().size(), 2);
        QCOMPARE(f.titles().last()->text(), QStringLiteral("New Tab"));
        QCOMPARE(f.closeButtons(), 2);
        QCOMPARE(f.contents.size(), 2);

        // The page reports where it ended: tab, title and field follow.
        f.contents.last()->finish(QUrl(QStringLiteral("http://app.test:5173/home")));
        QCOMPARE(f.titles().last()->text(), QStringLiteral("app.test"));
        QCOMPARE(f.field()->text(), QStringLiteral("http://app.test:5173/home"));
        QCOMPARE(f.urlChanges, QStringList {"http://app.test:5173/home"});

        // Selecting the first tab shows its cached page again: no new page.
        QTest::mouseClick(f.titles().first(), Qt::LeftButton);
        QTRY_COMPARE(f.sidebar->model().activeTabID(), f.project);
        QCOMPARE(f.field()->text(), QStringLiteral("http://app.test:5173"));
        QCOMPARE(f.contents.size(), 2);

        // Closing a tab evicts its page.
        const QUuid second = f.sidebar->model().tabs().last().id;
        auto *close = f.sidebar->findChildren<QToolButton *>(QStringLiteral("browserTabCloseButton")).last();
        QTest::mouseClick(close, Qt::LeftButton);
        QCoreApplication::processEvents();
        QCOMPARE(f.sidebar->model().tabs().size(), 1);
        QVERIFY(!f.registry.cachedWebView(ProjectWebViewRegistry::viewKey(f.project, second)));
        QTRY_COMPARE(f.closeButtons(), 0);
    }

    void addressBarSubmitsAndRefreshes()
    {
        Fixture f;
        f.show();
        f.log.clear();
        f.field()->setText(QStringLiteral("Other.Test:81"));
        QTest::keyClick(f.field(), Qt::Key_Return);
        QCOMPARE(f.field()->text(), QStringLiteral("http://Other.Test:81"));
        QCOMPARE(f.titles().first()->text(), QStringLiteral("Other.Test"));
        QCOMPARE(f.urlChanges, QStringList {"http://Other.Test:81"});
        QCOMPARE(f.log, QStringList {"load http://other.test:81"});

        // Go with the shown address reloads; so does the refresh button.
        f.contents.first()->finish(QUrl(QStringLiteral("http://other.test:81/")));
        f.log.clear();
        f.click(QStringLiteral("browserGoButton"));
        f.contents.first()->finish(QUrl(QStringLiteral("http://other.test:81/")));
        f.click(QStringLiteral("browserRefreshButton"));
        QCOMPARE(f.log, (QStringList {"reload", "reload"}));
        QCOMPARE(f.sidebar->model().manualRefreshToken(), 2);

        // The automatic counter from the state reloads too.
        f.contents.first()->finish(QUrl(QStringLiteral("http://other.test:81/")));
        f.log.clear();
        f.sidebar->update(f.arguments(0, 1));
        QCOMPARE(f.log, QStringList {"reload"});
    }

    void hideButtonWritesTheFlagAndAnewAppearanceStartsAfresh()
    {
        Fixture f;
        f.show();
        f.click(QStringLiteral("browserNewTabButton"));
        f.click(QStringLiteral("browserHideButton"));
        QCOMPARE(f.visibilityWrites, QList<bool> {false});

        f.sidebar->hide();
        QVERIFY(!f.sidebar->pageView());
        f.sidebar->show();
        QCOMPARE(f.titles().size(), 1);
        // The workspace's first page was kept by the registry: not made again.
        QCOMPARE(f.contents.size(), 2);
        QCOMPARE(f.sidebar->pageView()->page()->content(), static_cast<WebContent *>(f.contents.first()));
    }

    void focusCounterFocusesAndSelects()
    {
        Fixture f;
        f.show(0);
        QCoreApplication::processEvents();
        QVERIFY(!f.field()->hasFocus());
        f.window.activateWindow();
        f.sidebar->update(f.arguments(1));
        QTRY_VERIFY(f.field()->hasFocus());
        QTRY_COMPARE(f.field()->selectedText(), f.field()->text());

        // Not visible: the value is used up without focusing.
        f.field()->clearFocus();
        auto hidden = f.arguments(2);
        hidden.isVisible = false;
        f.sidebar->update(hidden);
        QTest::qWait(200);
        QVERIFY(!f.field()->hasFocus());
        f.sidebar->update(f.arguments(2));
        QTest::qWait(200);
        QVERIFY(!f.field()->hasFocus());
    }

    void widthLimits_data()
    {
        QTest::addColumn<double>("dragged");
        QTest::addColumn<int>("width");
        QTest::newRow("below") << 100.0 << 320;
        QTest::newRow("odd rounds to even") << 421.0 << 422;
        QTest::newRow("fraction") << 500.9 << 500;
        QTest::newRow("above") << 2000.0 << 980;
    }
    void widthLimits()
    {
        QFETCH(double, dragged);
        QFETCH(int, width);
        QCOMPARE(ProjectBrowserSidebarView::clampedSidebarWidth(dragged), width);
    }
};

QTEST_MAIN(TestBrowserSidebar)
#include "tst_browsersidebar.moc"
