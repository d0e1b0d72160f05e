#include "common/UuidText.h"

#include <QtTest>

class UuidTextTest : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("upper") << "E621E1F8-C36C-495A-93FC-0C247A3E6E5F" << true;
        QTest::newRow("lower") << "e621e1f8-c36c-495a-93fc-0c247a3e6e5f" << true;
        QTest::newRow("mixed") << "e621E1F8-c36c-495a-93FC-0c247a3e6e5f" << true;
        QTest::newRow("nil") << "00000000-0000-0000-0000-000000000000" << true;
        QTest::newRow("braces") << "{e621e1f8-c36c-495a-93fc-0c247a3e6e5f}" << false;
        QTest::newRow("no hyphens") << "e621e1f8c36c495a93fc0c247a3e6e5f" << false;
        QTest::newRow("hyphen moved") << "e621e1f-8c36c-495a-93fc-0c247a3e6e5f" << false;
        QTest::newRow("non-hex") << "g621e1f8-c36c-495a-93fc-0c247a3e6e5f" << false;
        QTest::newRow("trailing space") << "e621e1f8-c36c-495a-93fc-0c247a3e6e5f " << false;
        QTest::newRow("empty") << "" << false;
    }
    void parse()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        const auto uuid = UuidText::parse(text);
        QCOMPARE(uuid.has_value(), valid);
        if (valid) {
            QCOMPARE(UuidText::upper(*uuid), text.toUpper());
            QCOMPARE(UuidText::lower(*uuid), text.toLower());
        }
    }
};

QTEST_GUILESS_MAIN(UuidTextTest)
#include "tst_uuidtext.moc"
