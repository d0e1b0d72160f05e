#include "platform/SettingsStore.h"
#include "state/AppSettings.h"

#include <QtTest>

class AppSettingsTest : public QObject
{
    Q_OBJECT

    static const QString key() { return AppSettings::backendBaseURLKey; }
    static const QString legacy() { return AppSettings::legacyBackendBaseURLKey; }

private slots:
    void migratedString_data()
    {
        QTest::addColumn<QJsonValue>("current");
        QTest::addColumn<QJsonValue>("standardLegacy");
        QTest::addColumn<QJsonValue>("suiteLegacy");
        QTest::addColumn<QString>("expected"); // empty: absent
        const QJsonValue none(QJsonValue::Undefined);
        QTest::newRow("current wins") << QJsonValue("new") << QJsonValue("old") << QJsonValue("suite") << "new";
        QTest::newRow("empty current, legacy twin") << QJsonValue("") << QJsonValue("old") << none << "old";
        QTest::newRow("only in the suite") << none << none << QJsonValue("suite") << "suite";
        QTest::newRow("empty everywhere") << QJsonValue("") << QJsonValue("") << QJsonValue("") << "";
        QTest::newRow("a number is not a text") << QJsonValue(5) << QJsonValue("old") << none << "old";
    }
    void migratedString()
    {
        QFETCH(QJsonValue, current);
        QFETCH(QJsonValue, standardLegacy);
        QFETCH(QJsonValue, suiteLegacy);
        QFETCH(QString, expected);
        MemorySettingsStore defaults, suite;
        if (!current.isUndefined())
            defaults.setValue(key(), current);
        if (!standardLegacy.isUndefined())
            defaults.setValue(legacy(), standardLegacy);
        if (!suiteLegacy.isUndefined())
            suite.setValue(legacy(), suiteLegacy);
        AppSettings settings(defaults, &suite);
        const auto value = settings.migratedString(key(), legacy());
        QCOMPARE(value.value_or(QString()), expected);
        if (!expected.isEmpty())
            QCOMPARE(defaults.string(key()).value(), expected);
        QCOMPARE(suite.value(legacy()), suiteLegacy.isUndefined() ? std::nullopt : std::optional(suiteLegacy));
    }

    void migratedInt_data()
    {
        QTest::addColumn<QJsonValue>("current");
        QTest::addColumn<QJsonValue>("standardLegacy");
        QTest::addColumn<qint64>("expected"); // -1: absent
        const QJsonValue none(QJsonValue::Undefined);
        QTest::newRow("zero counts") << QJsonValue(0) << QJsonValue(9) << qint64(0);
        QTest::newRow("text does not count") << QJsonValue("18789") << none << qint64(-1);
        QTest::newRow("legacy integer") << none << QJsonValue(70000) << qint64(70000);
        QTest::newRow("fraction does not count") << QJsonValue(1.5) << QJsonValue(4) << qint64(4);
    }
    void migratedInt()
    {
        QFETCH(QJsonValue, current);
        QFETCH(QJsonValue, standardLegacy);
        QFETCH(qint64, expected);
        MemorySettingsStore defaults;
        const QString k = AppSettings::clientNodePortKey, l = AppSettings::legacyClientNodePortKey;
        if (!current.isUndefined())
            defaults.setValue(k, current);
        if (!standardLegacy.isUndefined())
            defaults.setValue(l, standardLegacy);
        AppSettings settings(defaults, nullptr);
        QCOMPARE(settings.migratedInt(k, l).value_or(-1), expected);
        if (expected >= 0 && standardLegacy.isDouble() && standardLegacy.toDouble() == double(expected))
            QCOMPARE(defaults.integer(k).value(), expected);
    }

    void nodeInstanceIDIsMadeOnceInLowerCase()
    {
        MemorySettingsStore defaults;
        AppSettings settings(defaults, nullptr);
        const QString id = settings.persistentNodeInstanceID();
        QCOMPARE(id, id.toLower());
        QVERIFY(!QUuid::fromString(id).isNull());
        QCOMPARE(defaults.string(AppSettings::nodeInstanceIDKey).value(), id);
        QCOMPARE(settings.persistentNodeInstanceID(), id);
    }

    void lastViewedIsUpperCaseOrRemoved()
    {
        MemorySettingsStore defaults;
        AppSettings settings(defaults, nullptr);
        const QUuid id = QUuid::fromString(QStringLiteral("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"));
        settings.persistLastViewedProjectID(id);
        QCOMPARE(defaults.string(AppSettings::lastViewedProjectKey).value(),
            QStringLiteral("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"));
        settings.persistLastViewedProjectID(std::nullopt);
        QVERIFY(!defaults.contains(AppSettings::lastViewedProjectKey));
    }

    void legacyDictionaryNeedsTextValues()
    {
        MemorySettingsStore defaults, suite;
        defaults.setValue(QStringLiteral("d"), QJsonObject {{"a", 1}});
        suite.setValue(QStringLiteral("d"), QJsonObject {{"a", "x"}});
        AppSettings settings(defaults, &suite);
        QCOMPARE(settings.legacyDictionary(QStringLiteral("d"))->value(QStringLiteral("a")), QStringLiteral("x"));
        QVERIFY(!settings.legacyDictionary(QStringLiteral("missing")));
    }
};

QTEST_GUILESS_MAIN(AppSettingsTest)
#include "tst_appsettings.moc"
