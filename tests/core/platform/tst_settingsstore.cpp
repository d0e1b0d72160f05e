#include "TestSupport.h"
#include "platform/AppPaths.h"
#include "platform/SettingsStore.h"

#include <QtTest>

class SettingsStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void valuesKeepTheirTypesAcrossARestart()
    {
        TestSupport::TemporaryHome home;
        const QString path = FileSettingsStore::standardPath();
        QVERIFY(path.startsWith(home.configHome()));
        {
            FileSettingsStore store(path);
            store.setValue(QStringLiteral("port"), 18789);
            store.setValue(QStringLiteral("flag"), true);
            store.setValue(QStringLiteral("text"), QStringLiteral("a/b"));
            store.setValue(QStringLiteral("map"), QJsonObject {{QStringLiteral("k"), 1}});
            QVERIFY(store.lastError().isEmpty());
        }
        FileSettingsStore reopened(path);
        QCOMPARE(reopened.integer(QStringLiteral("port")), std::optional<qint64>(18789));
        QVERIFY(reopened.value(QStringLiteral("port"))->isDouble());
        QCOMPARE(reopened.boolean(QStringLiteral("flag")), std::optional<bool>(true));
        QCOMPARE(reopened.string(QStringLiteral("text")), std::optional<QString>(QStringLiteral("a/b")));
        QCOMPARE(reopened.object(QStringLiteral("map"))->value(QStringLiteral("k")).toInt(), 1);
        QVERIFY(!reopened.string(QStringLiteral("port"))); // an integer is not a text
        reopened.remove(QStringLiteral("flag"));
        QVERIFY(!FileSettingsStore(path).contains(QStringLiteral("flag")));
    }

    void unreadableFileStartsEmpty()
    {
        TestSupport::TemporaryHome home;
        const QString path = home.path() + QStringLiteral("/broken.json");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("{not json");
        file.close();
        FileSettingsStore store(path);
        QVERIFY(store.keys().isEmpty());
    }

    void legacyTwinRead_data()
    {
        QTest::addColumn<QJsonValue>("current");
        QTest::addColumn<QJsonValue>("standardTwin");
        QTest::addColumn<QJsonValue>("suiteTwin");
        QTest::addColumn<QJsonValue>("expected");
        QTest::addColumn<bool>("copied");
        const QJsonValue none(QJsonValue::Undefined);
        QTest::newRow("new key wins") << QJsonValue("new") << QJsonValue("old") << QJsonValue("suite")
                                      << QJsonValue("new") << false;
        QTest::newRow("empty new key falls to twin")
            << QJsonValue("") << QJsonValue("old") << QJsonValue("suite") << QJsonValue("old") << true;
        QTest::newRow("twin from standard store")
            << none << QJsonValue("old") << QJsonValue("suite") << QJsonValue("old") << true;
        QTest::newRow("twin from legacy suite") << none << none << QJsonValue("suite") << QJsonValue("suite") << true;
        QTest::newRow("integer twin stays integer") << none << QJsonValue(7) << none << QJsonValue(7) << true;
        QTest::newRow("nothing anywhere") << none << none << none << none << false;
    }
    void legacyTwinRead()
    {
        QFETCH(QJsonValue, current);
        QFETCH(QJsonValue, standardTwin);
        QFETCH(QJsonValue, suiteTwin);
        QFETCH(QJsonValue, expected);
        QFETCH(bool, copied);
        MemorySettingsStore standard;
        MemorySettingsStore suite;
        const QString name = QStringLiteral("lastViewedProject");
        if (!current.isUndefined())
            standard.setValue(SettingsKeys::current(name), current);
        if (!standardTwin.isUndefined())
            standard.setValue(SettingsKeys::legacyTwin(name), standardTwin);
        if (!suiteTwin.isUndefined())
            suite.setValue(SettingsKeys::legacyTwin(name), suiteTwin);

        const auto read = readMigratingSetting(standard, &suite, name);
        if (expected.isUndefined())
            QVERIFY(!read || read->isUndefined());
        else
            QCOMPARE(read.value(), expected);
        if (copied)
            QCOMPARE(standard.value(QStringLiteral("tessaron.lastViewedProject.v1")).value(), expected);
        // Legacy entries are left where they were.
        QCOMPARE(standard.contains(SettingsKeys::legacyTwin(name)), !standardTwin.isUndefined());
        QCOMPARE(suite.contains(SettingsKeys::legacyTwin(name)), !suiteTwin.isUndefined());
    }

    void dataDirectoryFollowsXdg()
    {
        TestSupport::TemporaryHome home;
        QCOMPARE(AppPaths::dataDirectory(), home.dataHome() + QStringLiteral("/com.tessaron.app"));
    }
};

QTEST_GUILESS_MAIN(SettingsStoreTest)
#include "tst_settingsstore.moc"
