// Finding and opening the terminal library. The bridge keeps the first
// library that loads for the whole process, so the failing cases run first.
#include "terminal/tessaron_ghostty_bridge.h"

#include <QTemporaryDir>
#include <QTest>

namespace {
QByteArray fake(const char *name)
{
    return QByteArray(TESSARON_TERMINAL_FAKES_DIR) + "/lib" + name + ".so";
}
QByteArray fixture(const char *name)
{
    return QByteArray(TESSARON_FIXTURES_DIR) + "/terminal/" + name;
}
const char kNotFound[] = "libghostty.so not found. Set TESSARON_LIBGHOSTTY_PATH to a valid path.";
} // namespace

class TerminalBridgeLoadingTest : public QObject
{
    Q_OBJECT

private slots:
    void missingViewFailsBeforeLoading()
    {
        char error[512] = "stale";
        tessaron_ghostty_host host {};
        QVERIFY(
            !tessaron_ghostty_session_create(&host, nullptr, fake("fake_ghostty").constData(), error, sizeof error));
        QCOMPARE(QByteArray(error), QByteArray("Missing NSView pointer for Ghostty surface"));
        QVERIFY(!tessaron_ghostty_session_create(nullptr, nullptr, nullptr, error, sizeof error));
        QCOMPARE(QByteArray(error), QByteArray("Missing NSView pointer for Ghostty surface"));
    }

    void failingLoads_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("allowSystemPaths");
        QTest::addColumn<QByteArray>("expected"); // the message, or its start ending in "("
        QTest::newRow("missing file") << QByteArray("/nonexistent/libghostty.so") << QByteArray()
                                      << QByteArray("Failed to load libghostty at /nonexistent/libghostty.so (");
        QTest::newRow("not a library") << fixture("not-a-library.so") << QByteArray()
                                       << "Failed to load libghostty at " + fixture("not-a-library.so") + " (";
        QTest::newRow("no path") << QByteArray() << QByteArray() << QByteArray(kNotFound);
        QTest::newRow("empty path") << QByteArray("") << QByteArray() << QByteArray(kNotFound);
        for (const char *value : {"1", "0", "01", "11", "1 ", "true", ""})
            QTest::addRow("system paths '%s'", value) << QByteArray() << QByteArray(value) << QByteArray(kNotFound);
        QTest::newRow("last function missing") << fake("fake_ghostty_nofree") << QByteArray()
                                               << QByteArray("Missing libghostty symbol: ghostty_surface_free_text");
        QTest::newRow("no layout marker") << fake("fake_ghostty_nomarker") << QByteArray()
                                          << QByteArray("Missing libghostty symbol: tessaron_term_abi_version");
    }
    void failingLoads()
    {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, allowSystemPaths);
        QFETCH(QByteArray, expected);
        if (allowSystemPaths.isNull())
            qunsetenv("TESSARON_GHOSTTY_ALLOW_SYSTEM_PATHS");
        else
            qputenv("TESSARON_GHOSTTY_ALLOW_SYSTEM_PATHS", allowSystemPaths);
        char error[512];
        memset(error, 'x', sizeof error);
        QVERIFY(!tessaron_ghostty_is_available(path.isNull() ? nullptr : path.constData(), error, sizeof error));
        const QByteArray message(error);
        if (expected.endsWith('(')) {
            QVERIFY2(message.startsWith(expected), message.constData());
            QVERIFY2(message.endsWith(')') && message.size() > expected.size() + 1, message.constData());
        } else {
            QCOMPARE(message, expected);
        }
        qunsetenv("TESSARON_GHOSTTY_ALLOW_SYSTEM_PATHS");
    }

    void messagesAreCutToTheBuffer()
    {
        char error[10];
        QVERIFY(!tessaron_ghostty_is_available(nullptr, error, sizeof error));
        QCOMPARE(QByteArray(error), QByteArray(kNotFound).left(9));
        QVERIFY(!tessaron_ghostty_is_available(nullptr, nullptr, 0));
        char untouched[4] = "abc";
        QVERIFY(!tessaron_ghostty_is_available(nullptr, untouched, 0));
        QCOMPARE(QByteArray(untouched), QByteArray("abc"));
    }

    void theFirstLibraryServesTheProcess()
    {
        char error[512] = "stale";
        QVERIFY(tessaron_ghostty_is_available(fake("fake_ghostty").constData(), error, sizeof error));
        QCOMPARE(QByteArray(error), QByteArray());
        QVERIFY(tessaron_ghostty_is_available("/nonexistent/libghostty.so", error, sizeof error));
        QVERIFY(tessaron_ghostty_is_available(fake("fake_ghostty_nomarker").constData(), error, sizeof error));
        QVERIFY(tessaron_ghostty_is_available(nullptr, error, sizeof error));
    }
};

QTEST_GUILESS_MAIN(TerminalBridgeLoadingTest)
#include "tst_TerminalBridgeLoading.moc"
