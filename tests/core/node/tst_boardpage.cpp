#include "MainNodeDriver.h"
#include "RawHttpClient.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The board page in a real browser: headless Chromium driven by the Selenium
// script under tests/web against a headless main node.
class TestBoardPage : public QObject
{
    Q_OBJECT

private slots:
    void pageIsOneConstantDocument()
    {
        MainNodeDriver::Options options;
        MainNodeDriver node(options);
        QVERIFY(node.ok());
        QFuture<RawHttpClient::Exchange> first = RawHttpClient::exchangeAsync(node.port(), {RawHttpClient::get("/")});
        QFuture<RawHttpClient::Exchange> second
            = RawHttpClient::exchangeAsync(node.port(), {RawHttpClient::get("/?token=x&y=1")});
        QVERIFY(TestSupport::waitUntil([&] { return first.isFinished() && second.isFinished(); }));
        QCOMPARE(first.result().received, second.result().received);
        QVERIFY(first.result().received.startsWith("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"));
        QVERIFY(RawHttpClient::body(first.result().received).contains("<title>Tessarex Web UI</title>"));
        // Server texts are set as text only.
        QVERIFY(!RawHttpClient::body(first.result().received).contains("innerHTML"));
    }

    void browserShowsTheBoard()
    {
        const QString script = QStringLiteral(TESSARON_FIXTURES_DIR "/../web/board_check.py");
        if (!QFileInfo::exists(QStringLiteral("/usr/bin/chromium"))
            || !QFileInfo::exists(QStringLiteral("/usr/bin/chromedriver")))
            QSKIP("headless Chromium is not installed");
        MainNodeDriver::Options options;
        options.token = QStringLiteral("0123456789abcdef0123456789abcdef");
        MainNodeDriver node(options);
        QVERIFY(node.ok());
        QTemporaryDir shots;
        const QString wrong
            = QStringLiteral("http://127.0.0.1:%1/?token=ffffffffffffffffffffffffffffffff").arg(node.port());
        const QString keep = qEnvironmentVariable("TESSARON_SCREENSHOT_DIR", shots.path());
        QProcess check;
        check.setProcessChannelMode(QProcess::MergedChannels);
        check.start(QStringLiteral("/usr/bin/python3"),
            {script, node.shareLink().toString(), wrong, MainNodeDriver::kMarkupTitle,
                node.readyDiffTaskID().toString(QUuid::WithoutBraces), keep});
        // The handlers answer on this thread: keep its loop turning.
        QVERIFY(TestSupport::waitUntil([&] { return check.state() == QProcess::NotRunning; }, 120000));
        const QByteArray output = check.readAll();
        if (output.contains("No module named 'selenium'"))
            QSKIP("python3-selenium is not installed");
        QVERIFY2(check.exitCode() == 0 && output.contains("OK"), output.constData());
    }
};

QTEST_GUILESS_MAIN(TestBoardPage)
#include "tst_boardpage.moc"
