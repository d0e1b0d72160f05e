#include "TestSupport.h"
#include "state/WebPreviewState.h"

#include <QtTest>

class WebPreviewTest : public QObject
{
    Q_OBJECT

    static void write(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

private slots:
    void announcedAddress_data()
    {
        QTest::addColumn<QString>("portFileName");
        QTest::addColumn<QByteArray>("portFile"); // null: no file
        QTest::addColumn<QByteArray>("infoFile");
        QTest::addColumn<QString>("expected"); // empty: nothing announced
        const QByteArray none;
        QTest::newRow("port file") << ".devserver-port" << QByteArray("5173\n") << none << "http://127.0.0.1:5173/";
        QTest::newRow("port file in other case")
            << ".DevServer-Port" << QByteArray(" 4000 ") << none << "http://127.0.0.1:4000/";
        QTest::newRow("port 0 falls to info")
            << ".devserver-port" << QByteArray("0") << QByteArray("port: 8080") << "http://127.0.0.1:8080/";
        QTest::newRow("port 70000 falls to info") << ".devserver-port" << QByteArray("70000") << none << "";
        QTest::newRow("word falls to info") << ".devserver-port" << QByteArray("vite") << none << "";
        QTest::newRow("signed port") << ".devserver-port" << QByteArray("+3001") << none << "http://127.0.0.1:3001/";
        QTest::newRow("url line taken unchanged")
            << "" << none << QByteArray("# Dev\n  Local URL:  https://box.lan:9/x \n") << "https://box.lan:9/x";
        QTest::newRow("blank url line moves on to port")
            << "" << none << QByteArray("URL:   \nPort: 4000\n") << "http://127.0.0.1:4000/";
        QTest::newRow("url with nothing after colon")
            << "" << none << QByteArray("Local URL:\nport: 4001") << "http://127.0.0.1:4001/";
        QTest::newRow("only first url line") << "" << none << QByteArray("url:\t\nurl: http://second\n") << "";
        QTest::newRow("port 99999") << "" << none << QByteArray("port: 99999\nport: 3000") << "";
        QTest::newRow("nothing") << "" << none << QByteArray("hello") << "";
        QTest::newRow("not UTF-8") << "" << none << QByteArray("url: \xff\xfe") << "";
    }
    void announcedAddress()
    {
        QFETCH(QString, portFileName);
        QFETCH(QByteArray, portFile);
        QFETCH(QByteArray, infoFile);
        QFETCH(QString, expected);
        QTemporaryDir root;
        if (!portFile.isNull())
            write(root.filePath(portFileName), portFile);
        if (!infoFile.isNull())
            write(root.filePath(QStringLiteral("devServerInfo.md")), infoFile);
        QCOMPARE(WebPreview::devServerAddressFromWorkspaceFolder(root.path()).value_or(QString()), expected);
    }

    void exactNameWinsOverOtherCase()
    {
        QTemporaryDir root;
        write(root.filePath(".DEVSERVER-PORT"), "1111");
        write(root.filePath(".devserver-port"), "2222");
        QCOMPARE(WebPreview::devServerAddressFromWorkspaceFolder(root.path()).value(),
            QStringLiteral("http://127.0.0.1:2222/"));
    }

    void blankAddressBecomesDefault()
    {
        QCOMPARE(WebPreview::normalizedAddress(QStringLiteral(" \n")), QStringLiteral("http://localhost:3000"));
        QCOMPARE(WebPreview::normalizedAddress(QStringLiteral(" http://x ")), QStringLiteral("http://x"));
    }

    void persistedAddresses()
    {
        MemorySettingsStore defaults, suite;
        const QUuid id = QUuid::fromString(QStringLiteral("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"));
        suite.setValue(AppSettings::legacyBrowserURLStateKey,
            QJsonObject {{"E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "http://a"}, {"not-a-uuid", "http://b"},
                {"11111111-2222-3333-4444-555555555555", ""}});
        AppSettings settings(defaults, &suite);
        const auto loaded = WebPreview::loadPersistedAddresses(settings);
        QCOMPARE(loaded.size(), 1);
        QCOMPARE(loaded.value(id), QStringLiteral("http://a"));
        // The dictionary found is written under the current key unchanged.
        QCOMPARE(defaults.object(AppSettings::browserURLStateKey)->size(), 3);
        QVERIFY(suite.contains(AppSettings::legacyBrowserURLStateKey));

        WebPreview::persistAddresses(defaults, {{id, QStringLiteral("http://c")}});
        QCOMPARE(defaults.object(AppSettings::browserURLStateKey).value(),
            (QJsonObject {{"e621e1f8-c36c-495a-93fc-0c247a3e6e5f", "http://c"}}));
        QVERIFY(!defaults.contains(AppSettings::legacyBrowserURLStateKey));
    }
};

QTEST_GUILESS_MAIN(WebPreviewTest)
#include "tst_webpreview.moc"
