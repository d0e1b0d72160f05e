#include "common/Json.h"

#include <QtTest>

class JsonTest : public QObject
{
    Q_OBJECT

private slots:
    void writesCompactSortedEscaped_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("nested keys sorted, slash escaped")
            << QByteArray(R"({"b":{"d":1,"c":2},"a":"x/y"})") << QByteArray(R"({"a":"x\/y","b":{"c":2,"d":1}})");
        QTest::newRow("objects inside arrays sorted")
            << QByteArray(R"([{"z":true,"y":null},[]])") << QByteArray(R"([{"y":null,"z":true},[]])");
        QTest::newRow("control characters")
            << QByteArray("[\"a\\u0001\\n\\t\\\"\\\\\"]") << QByteArray("[\"a\\u0001\\n\\t\\\"\\\\\"]");
        QTest::newRow("non-ASCII stays raw")
            << QByteArray("[\"\xc3\xa9\xf0\x9f\x98\x80\"]") << QByteArray("[\"\xc3\xa9\xf0\x9f\x98\x80\"]");
        QTest::newRow("numbers") << QByteArray("[1,-2,0.5,1e300,721692800,9007199254740993]")
                                 << QByteArray("[1,-2,0.5,1e+300,721692800,9007199254740993]");
        QTest::newRow("upper-case keys sort before lower-case")
            << QByteArray(R"({"b":1,"B":2,"a":3})") << QByteArray(R"({"B":2,"a":3,"b":1})");
    }
    void writesCompactSortedEscaped()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, expected);
        const auto value = Json::parseFragment(input);
        QVERIFY(value);
        QCOMPARE(Json::write(*value), expected);
    }

    void fragments_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QByteArray>("rewritten");
        QTest::newRow("string") << QByteArray(R"("a/b")") << true << QByteArray(R"("a\/b")");
        QTest::newRow("number") << QByteArray("42") << true << QByteArray("42");
        QTest::newRow("null") << QByteArray("null") << true << QByteArray("null");
        QTest::newRow("object") << QByteArray(R"({"k":[1]})") << true << QByteArray(R"({"k":[1]})");
        QTest::newRow("two values") << QByteArray("1],[2") << false << QByteArray();
        QTest::newRow("empty") << QByteArray("") << false << QByteArray();
        QTest::newRow("garbage") << QByteArray("{nope") << false << QByteArray();
    }
    void fragments()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, valid);
        QFETCH(QByteArray, rewritten);
        const auto value = Json::parseFragment(text);
        QCOMPARE(value.has_value(), valid);
        if (valid)
            QCOMPARE(Json::write(*value), rewritten);
    }

    void lineSeparatorsEscapedOnRequest()
    {
        const QJsonValue value(QString::fromUtf8("a\u2028b\u2029c\u0085d"));
        QCOMPARE(Json::write(value, {.escapeUnicodeLineBreaks = true}), QByteArray(R"("a\u2028b\u2029c\u0085d")"));
        QCOMPARE(Json::write(value),
            QByteArray("\"a\xe2\x80\xa8"
                       "b\xe2\x80\xa9"
                       "c\xc2\x85"
                       "d\""));
    }

    void wholeNumbers_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("whole");
        QTest::addColumn<qint64>("value");
        QTest::newRow("integer") << QByteArray("12") << true << qint64(12);
        QTest::newRow("integral double") << QByteArray("3.0") << true << qint64(3);
        QTest::newRow("fraction") << QByteArray("3.5") << false << qint64(0);
        QTest::newRow("huge") << QByteArray("1e300") << false << qint64(0);
        QTest::newRow("2^63") << QByteArray("9223372036854775808") << false << qint64(0);
        QTest::newRow("min") << QByteArray("-9223372036854775808") << true << std::numeric_limits<qint64>::min();
        QTest::newRow("string") << QByteArray("\"12\"") << false << qint64(0);
    }
    void wholeNumbers()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, whole);
        QFETCH(qint64, value);
        const auto parsed = Json::parseFragment(text);
        QVERIFY(parsed);
        const auto number = Json::wholeNumber(*parsed);
        QCOMPARE(number.has_value(), whole);
        if (whole)
            QCOMPARE(*number, value);
    }

    void base64RoundTripAndStrictness()
    {
        const QByteArray bytes("\x00\xff tessaron", 11);
        QCOMPARE(Json::base64(bytes), QStringLiteral("AP8gdGVzc2Fyb24="));
        QCOMPARE(Json::fromBase64(QStringLiteral("AP8gdGVzc2Fyb24=")).value(), bytes);
        QVERIFY(!Json::fromBase64(QStringLiteral("AP8gdGVzc2Fyb24")));
        QVERIFY(!Json::fromBase64(QStringLiteral("not base64!")));
        QCOMPARE(Json::fromBase64(QString()).value(), QByteArray());
    }
};

QTEST_GUILESS_MAIN(JsonTest)
#include "tst_json.moc"
