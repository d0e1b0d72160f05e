#include "platform/MemoryFigures.h"

#include <QTest>

class TestMemoryFigures final : public QObject
{
    Q_OBJECT

private slots:
    void meminfo_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<quint64>("physical");
        QTest::addColumn<quint64>("freePages");
        QTest::addColumn<quint64>("inactivePages");
        const QByteArray full
            = "MemTotal:       16384000 kB\nMemFree:         4096000 kB\nMemAvailable:    9000000 kB\n"
              "Inactive:        2048000 kB\nInactive(anon):   100 kB\n";
        QTest::newRow("full") << full << true << quint64(16384000) * 1024 << quint64(1024000) << quint64(512000);
        QTest::newRow("no Inactive line") << QByteArray("MemTotal: 8192 kB\nMemFree: 4096 kB\n") << true
                                          << quint64(8192 * 1024) << quint64(1024) << quint64(0);
        QTest::newRow("no MemTotal") << QByteArray("MemFree: 4096 kB\n") << false << quint64(0) << quint64(0)
                                     << quint64(0);
        QTest::newRow("garbage") << QByteArray("MemTotal: lots\nMemFree: 1 kB\n") << false << quint64(0) << quint64(0)
                                 << quint64(0);
    }

    void meminfo()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, valid);
        QFETCH(quint64, physical);
        QFETCH(quint64, freePages);
        QFETCH(quint64, inactivePages);
        const auto figures = MemoryFiguresReader::fromMeminfo(text, 4096);
        QCOMPARE(figures.has_value(), valid);
        if (!figures)
            return;
        QCOMPARE(figures->physicalBytes, physical);
        QCOMPARE(figures->freePages, freePages);
        QCOMPARE(figures->inactivePages, inactivePages);
        QCOMPARE(figures->speculativePages, quint64(0));
    }

    void snapshot_data()
    {
        QTest::addColumn<quint64>("physical");
        QTest::addColumn<quint64>("pageSize");
        QTest::addColumn<quint64>("free");
        QTest::addColumn<quint64>("inactive");
        QTest::addColumn<quint64>("speculative");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<double>("availableGB");
        QTest::addColumn<double>("usedPercent");
        const quint64 gib = 1073741824;
        QTest::newRow("quarter free") << 16 * gib << quint64(4096) << (2 * gib / 4096) << (2 * gib / 4096) << quint64(0)
                                      << true << 4.0 << 75.0;
        QTest::newRow("more than physical: capped") << 4 * gib << quint64(4096) << (3 * gib / 4096) << (3 * gib / 4096)
                                                    << (1 * gib / 4096) << true << 4.0 << 0.0;
        QTest::newRow("page counts at the limit do not wrap")
            << 4 * gib << quint64(4096) << std::numeric_limits<quint64>::max() << quint64(5) << quint64(0) << true
            << 4.0 << 0.0;
        QTest::newRow("zero physical memory")
            << quint64(0) << quint64(4096) << quint64(1) << quint64(1) << quint64(0) << false << 0.0 << 0.0;
    }

    void snapshot()
    {
        QFETCH(quint64, physical);
        QFETCH(quint64, pageSize);
        QFETCH(quint64, free);
        QFETCH(quint64, inactive);
        QFETCH(quint64, speculative);
        QFETCH(bool, valid);
        QFETCH(double, availableGB);
        QFETCH(double, usedPercent);
        const auto sample
            = MemoryFiguresReader::snapshot(MemoryFigures {physical, pageSize, free, inactive, speculative});
        QCOMPARE(sample.has_value(), valid);
        if (!sample)
            return;
        QCOMPARE(sample->systemAvailableGB, availableGB);
        QCOMPARE(sample->usedPercent, usedPercent);
    }

    void missingFiguresGiveNoSample() { QCOMPARE(MemoryFiguresReader::snapshot(std::nullopt), std::nullopt); }

    void thisMachine()
    {
        const auto sample = MemoryFiguresReader::snapshot(MemoryFiguresReader::system());
        QVERIFY(sample);
        QVERIFY(sample->systemAvailableGB > 0);
        QVERIFY(sample->usedPercent >= 0 && sample->usedPercent <= 100);
    }
};

QTEST_GUILESS_MAIN(TestMemoryFigures)
#include "tst_memoryfigures.moc"
