#include "common/Json.h"
#include "common/TimePoint.h"

#include <QJsonObject>
#include <QtTest>
#include <cmath>
#include <limits>

class TimePointTest : public QObject
{
    Q_OBJECT

private slots:
    void referenceEpoch()
    {
        QCOMPARE(TimePoint::fromUnixSeconds(1700000000).referenceSeconds(), 721692800.0);
        QCOMPARE(TimePoint::fromReferenceSeconds(0).toIso8601(), QStringLiteral("2001-01-01T00:00:00Z"));
    }

    void exactThroughJson()
    {
        const double seconds = 721692800.123456789;
        const TimePoint time = TimePoint::fromReferenceSeconds(seconds);
        QJsonObject object {{QStringLiteral("d"), time.toJson()}};
        const auto back = Json::parseObject(Json::write(object));
        QVERIFY(back);
        const auto decoded = TimePoint::fromJson(back->value(QStringLiteral("d")));
        QVERIFY(decoded);
        QCOMPARE(decoded->referenceSeconds(), seconds);
    }

    void databaseText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<double>("unix");
        QTest::newRow("epoch") << "1970-01-01 00:00:00.000" << true << 0.0;
        QTest::newRow("millis") << "2023-11-14 22:13:20.250" << true << 1700000000.25;
        QTest::newRow("leap day") << "2024-02-29 12:00:00.000" << true << 1709208000.0;
        QTest::newRow("not a leap day") << "2023-02-29 12:00:00.000" << false << 0.0;
        QTest::newRow("T separator") << "2023-11-14T22:13:20.250" << false << 0.0;
        QTest::newRow("no millis") << "2023-11-14 22:13:20" << false << 0.0;
        QTest::newRow("hour 24") << "2023-11-14 24:00:00.000" << false << 0.0;
        QTest::newRow("year 0") << "0000-01-01 00:00:00.000" << false << 0.0;
    }
    void databaseText()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(double, unix);
        const auto time = TimePoint::fromDatabaseText(text);
        QCOMPARE(time.has_value(), valid);
        if (valid) {
            QCOMPARE(time->unixSeconds(), unix);
            QCOMPARE(time->toDatabaseText(), text);
        }
    }

    void iso8601_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("fraction");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<double>("unix");
        const int optional = int(TimePoint::Fraction::Optional);
        const int forbidden = int(TimePoint::Fraction::Forbidden);
        const int required = int(TimePoint::Fraction::Required);
        QTest::newRow("Z") << "2023-11-14T22:13:20Z" << optional << true << 1700000000.0;
        QTest::newRow("fraction") << "2023-11-14T22:13:20.250Z" << optional << true << 1700000000.25;
        QTest::newRow("offset") << "2023-11-15T00:13:20+02:00" << optional << true << 1700000000.0;
        QTest::newRow("compact offset") << "2023-11-14T21:13:20-0100" << optional << true << 1700000000.0;
        QTest::newRow("no zone") << "2023-11-14T22:13:20" << optional << false << 0.0;
        QTest::newRow("blank for T") << "2023-11-14 22:13:20Z" << optional << false << 0.0;
        QTest::newRow("fraction forbidden") << "2023-11-14T22:13:20.5Z" << forbidden << false << 0.0;
        QTest::newRow("fraction required") << "2023-11-14T22:13:20Z" << required << false << 0.0;
        QTest::newRow("empty fraction") << "2023-11-14T22:13:20.Z" << optional << false << 0.0;
        QTest::newRow("month 13") << "2023-13-14T22:13:20Z" << optional << false << 0.0;
        QTest::newRow("leading space") << " 2023-11-14T22:13:20Z" << optional << false << 0.0;
    }
    void iso8601()
    {
        QFETCH(QString, text);
        QFETCH(int, fraction);
        QFETCH(bool, valid);
        QFETCH(double, unix);
        const auto time = TimePoint::fromIso8601(text, TimePoint::Fraction(fraction));
        QCOMPARE(time.has_value(), valid);
        if (valid)
            QCOMPARE(time->unixSeconds(), unix);
    }

    void writesIso8601()
    {
        const TimePoint time = TimePoint::fromUnixSeconds(1700000000.25);
        QCOMPARE(time.toIso8601(), QStringLiteral("2023-11-14T22:13:20Z"));
        QCOMPARE(time.toIso8601(true), QStringLiteral("2023-11-14T22:13:20.250Z"));
        // Within half a millisecond of the next second, the whole second stays.
        QCOMPARE(TimePoint::fromUnixSeconds(1700000000.9996).toIso8601(), QStringLiteral("2023-11-14T22:13:20Z"));
    }

    void hostileNumbersGiveNoDate_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::newRow("1e300") << 1e300;
        QTest::newRow("-1e300") << -1e300;
        QTest::newRow("infinity") << std::numeric_limits<double>::infinity();
        QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN();
        QTest::newRow("year 10000") << 253402300800.0;
    }
    void hostileNumbersGiveNoDate()
    {
        QFETCH(double, seconds);
        QVERIFY(!TimePoint::fromUnixSecondsChecked(seconds));
        QVERIFY(!TimePoint::fromReferenceSecondsChecked(seconds));
        // Formatting an unchecked value never misbehaves either.
        QVERIFY(!TimePoint::fromReferenceSeconds(seconds).toDatabaseText().isEmpty());
    }

    // The one reading of loosely written dates, with and without the
    // client-node wire's acceptance of numbers outside the calendar.
    void looseDates_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QVariant>("refusing"); // Unix seconds, or invalid: none
        QTest::addColumn<QVariant>("accepting");
        const QVariant none;
        QTest::newRow("seconds") << QJsonValue(1700000000.5) << QVariant(1700000000.5) << QVariant(1700000000.5);
        QTest::newRow("1e10 is seconds") << QJsonValue(1e10) << QVariant(1e10) << QVariant(1e10);
        QTest::newRow("milliseconds") << QJsonValue(1700000000500.0) << QVariant(1700000000.5)
                                      << QVariant(1700000000.5);
        QTest::newRow("negative seconds") << QJsonValue(-86400.0) << QVariant(-86400.0) << QVariant(-86400.0);
        QTest::newRow("before year 1") << QJsonValue(-1e12) << none << QVariant(-1e12);
        QTest::newRow("after year 9999") << QJsonValue(1e300) << none << QVariant(1e297);
        QTest::newRow("text with fraction")
            << QJsonValue("2023-11-14T22:13:20.500Z") << QVariant(1700000000.5) << QVariant(1700000000.5);
        QTest::newRow("text without fraction")
            << QJsonValue("2023-11-14T22:13:20Z") << QVariant(1700000000.0) << QVariant(1700000000.0);
        QTest::newRow("text with offset")
            << QJsonValue("2023-11-14T23:13:20+01:00") << QVariant(1700000000.0) << QVariant(1700000000.0);
        QTest::newRow("date only") << QJsonValue("2023-11-14") << none << none;
        QTest::newRow("numeric text") << QJsonValue("1700000000") << none << none;
        QTest::newRow("boolean") << QJsonValue(true) << none << none;
        QTest::newRow("null") << QJsonValue(QJsonValue::Null) << none << none;
        QTest::newRow("object") << QJsonValue(QJsonObject()) << none << none;
    }
    void looseDates()
    {
        QFETCH(QJsonValue, value);
        QFETCH(QVariant, refusing);
        QFETCH(QVariant, accepting);
        const auto check = [](const std::optional<TimePoint> &date, const QVariant &expected) {
            QCOMPARE(date.has_value(), expected.isValid());
            if (date)
                QCOMPARE(date->unixSeconds(), expected.toDouble());
        };
        check(TimePoint::fromLooseDate(value), refusing);
        check(TimePoint::fromLooseDate(value, TimePoint::OutOfCalendar::Accept), accepting);
    }
};

QTEST_GUILESS_MAIN(TimePointTest)
#include "tst_timepoint.moc"
