// The web engine is opened from its module on first use only, and its views
// load pages and report them through the window's callbacks.

#include "browser/WebEngineModule.h"

#include <QApplication>
#include <QLibrary>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include <dlfcn.h>

namespace {

bool engineMapped()
{
    // RTLD_NOLOAD answers whether the library is already in the process.
    void *handle = dlopen("libQt6WebEngineCore.so.6", RTLD_LAZY | RTLD_NOLOAD);
    if (handle)
        dlclose(handle);
    return handle != nullptr;
}

} // namespace

class TestWebEngineModule : public QObject
{
    Q_OBJECT

private slots:
    void engineOpensOnFirstViewAndLoadsAPage()
    {
        // Nothing of the engine is in the process before a view is built.
        QVERIFY(!engineMapped());

        QWidget host;
        QString error;
        WebContent *content = WebEngineModule::createContent(&host, &error);
        QVERIFY2(content, qPrintable(error));
        QVERIFY(engineMapped());
        QVERIFY(!WebEngineModule::loadedPath().isEmpty());

        int finished = 0;
        bool lastOk = false;
        QString title;
        WebContentEvents events;
        events.loadFinished = [&](bool ok, bool) {
            ++finished;
            lastOk = ok;
        };
        events.titleChanged = [&](const QString &text) { title = text; };
        content->setEvents(std::move(events));
        content->setHtml(QStringLiteral("<html><head><title>Hello preview</title></head><body>hi</body></html>"),
            QUrl(QStringLiteral("http://127.0.0.1/")));
        QTRY_VERIFY_WITH_TIMEOUT(finished > 0, 20000);
        QVERIFY(lastOk);
        QTRY_COMPARE_WITH_TIMEOUT(title, QStringLiteral("Hello preview"), 5000);

        // The host owns the view, which draws the page.
        QWidget *view = content->widget();
        QCOMPARE(view->parentWidget(), &host);
        host.resize(320, 200);
        view->resize(320, 200);
        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));
        const QColor page(0x20, 0x60, 0xa0);
        content->setHtml(QStringLiteral("<html><body style='margin:0;background:#2060a0'></body></html>"),
            QUrl(QStringLiteral("http://127.0.0.1/")));
        QTRY_COMPARE_WITH_TIMEOUT(host.grab().toImage().pixelColor(160, 100), page, 20000);
    }
};

int main(int argc, char *argv[])
{
    // Like the program: no OpenGL sharing asked for at start.
    QApplication app(argc, argv);
    TestWebEngineModule test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_webenginemodule.moc"
