#include "platform/NetworkInterfaces.h"

#include <QTest>

Q_DECLARE_METATYPE(NetworkInterfaceEntry)

namespace {

NetworkInterfaceEntry entry(
    const QString &name, const QString &address, bool up = true, bool loopback = false, int family = 2)
{
    NetworkInterfaceEntry e;
    e.name = name;
    e.isUp = up;
    e.isLoopback = loopback;
    e.hasAddress = true;
    e.family = family;
    e.numericHost = address;
    return e;
}

} // namespace

class TestNetworkInterfaces final : public QObject
{
    Q_OBJECT

private slots:
    void preferredAddress_data()
    {
        using List = QList<NetworkInterfaceEntry>;
        QTest::addColumn<List>("list");
        QTest::addColumn<QString>("expected"); // empty: none
        const auto lo = entry(QStringLiteral("lo"), QStringLiteral("127.0.0.1"), true, true);
        QTest::newRow("en0 wins over an earlier one")
            << List {lo, entry("eth0", "10.0.0.5"), entry("en0", "192.168.1.20")} << "192.168.1.20";
        QTest::newRow("first up non-loopback IPv4 in order")
            << List {lo, entry("eth0", "10.0.0.5"), entry("wlan0", "192.168.1.20")} << "10.0.0.5";
        QTest::newRow("link-local counts like any other") << List {lo, entry("eth1", "169.254.3.4")} << "169.254.3.4";
        QTest::newRow("only loopback") << List {lo} << QString();
        QTest::newRow("down interfaces are skipped")
            << List {entry("eth0", "10.0.0.5", false), entry("eth1", "10.0.0.6")} << "10.0.0.6";
        QTest::newRow("IPv6 is skipped") << List {entry("eth0", "fe80::1", true, false, 10)} << QString();
        NetworkInterfaceEntry failed = entry("en0", "x");
        failed.numericHost.reset();
        QTest::newRow("a failed conversion is skipped, en0 too")
            << List {failed, entry("eth0", "10.1.1.1")} << "10.1.1.1";
        NetworkInterfaceEntry bare = entry("eth0", "10.0.0.9");
        bare.hasAddress = false;
        QTest::newRow("no address") << List {bare} << QString();
        QTest::newRow("empty list") << List {} << QString();
    }

    void preferredAddress()
    {
        QFETCH(QList<NetworkInterfaceEntry>, list);
        QFETCH(QString, expected);
        const auto address = NetworkInterfaces::preferredLANAddress(list);
        QCOMPARE(address.value_or(QString()), expected);
    }

    void unreadableListGivesNone() { QCOMPARE(NetworkInterfaces::preferredLANAddress(std::nullopt), std::nullopt); }

    void shareURL_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("address"); // empty: none known
        QTest::addColumn<QString>("expected"); // empty: none
        const QString token = QStringLiteral("0123456789abcdef0123456789abcdef");
        QTest::newRow("localhost rewritten") << "http://localhost:51234/?token=" + token << "192.168.1.20"
                                             << "http://192.168.1.20:51234/?token=" + token;
        QTest::newRow("127.0.0.1 rewritten") << "http://127.0.0.1:8080/?token=ab"
                                             << "10.0.0.5"
                                             << "http://10.0.0.5:8080/?token=ab";
        QTest::newRow("no address: none") << "http://localhost:8080/?token=ab" << QString() << QString();
        QTest::newRow("a network host stays") << "http://192.168.1.7:8080/?token=ab"
                                              << "10.0.0.5"
                                              << "http://192.168.1.7:8080/?token=ab";
        QTest::newRow("no host stays") << "file:///tmp/x"
                                       << "10.0.0.5"
                                       << "file:///tmp/x";
    }

    void shareURL()
    {
        QFETCH(QString, link);
        QFETCH(QString, address);
        QFETCH(QString, expected);
        const auto result = NetworkInterfaces::lanShareURL(QUrl(link), [&]() -> std::optional<QString> {
            if (address.isEmpty())
                return std::nullopt;
            return address;
        });
        QCOMPARE(result ? result->toString() : QString(), expected);
    }

    void systemListHasTheLoopback()
    {
        const auto list = NetworkInterfaces::systemList();
        QVERIFY(list);
        const bool hasLoopback = std::any_of(list->begin(), list->end(), [](const NetworkInterfaceEntry &e) {
            return e.isLoopback && e.family == 2 && e.numericHost == QStringLiteral("127.0.0.1");
        });
        QVERIFY(hasLoopback);
        // The loopback never becomes the share address.
        QVERIFY(NetworkInterfaces::preferredLANAddress(list) != QStringLiteral("127.0.0.1"));
    }
};

QTEST_GUILESS_MAIN(TestNetworkInterfaces)
#include "tst_networkinterfaces.moc"
