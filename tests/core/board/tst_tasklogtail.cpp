#include "board/TaskLogTail.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

QString repeat(const QString &piece, int times)
{
    QString text;
    for (int i = 0; i < times; ++i)
        text += piece;
    return text;
}

} // namespace

class TestTaskLogTail : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString write(const QByteArray &bytes)
    {
        static int n = 0;
        const QString path = m_dir.filePath(QStringLiteral("log%1.stdout.log").arg(++n));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write the log fixture");
        return path;
    }

private slots:
    void rule_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected"); // null: no tail
        QTest::newRow("blank") << QStringLiteral(" \n\t \r\n") << QString();
        QTest::newRow("trimmed") << QStringLiteral("\n  done \n") << QStringLiteral("done");
        QTest::newRow("2000 characters") << repeat("a", 2000) << repeat("a", 2000);
        QTest::newRow("2001 characters") << "b" + repeat("a", 2000) << QStringLiteral("\u2026") + repeat("a", 2000);
        // A character is a grapheme: "e" with a combining accent counts once.
        QTest::newRow("combining marks") << repeat(QStringLiteral("e\u0301"), 2001)
                                         << QStringLiteral("\u2026") + repeat(QStringLiteral("e\u0301"), 2000);
        QTest::newRow("unicode spaces trimmed") << QStringLiteral("\u00a0x\u3000\u2028") << QStringLiteral("x");
    }

    void rule()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        const std::optional<QString> fromText = TaskLogTail::fromText(text);
        const std::optional<QString> fromFile = TaskLogTail::read(write(text.toUtf8()));
        QCOMPARE(fromText.value_or(QString()), expected);
        QCOMPARE(fromText.has_value(), !expected.isNull());
        QCOMPARE(fromFile, fromText);
    }

    void unreadable_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("bad byte far before the end") << QByteArray("\xff") + QByteArray(1 << 20, 'a');
        QTest::newRow("overlong form") << QByteArray("ok \xc0\xaf ok");
        QTest::newRow("surrogate") << QByteArray("ok \xed\xa0\x80 ok");
        QTest::newRow("cut at the end") << QByteArray("ok \xe2\x82");
    }

    void unreadable()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(!TaskLogTail::read(write(bytes)));
    }

    void cachedTailFollowsTheFile()
    {
        const QString path = write("first\n");
        QCOMPARE(TaskLogTail::readCached(path), std::optional<QString>("first"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append));
        file.write("second\n");
        file.close();
        QCOMPARE(TaskLogTail::readCached(path), std::optional<QString>("first\nsecond"));
        QVERIFY(QFile::remove(path));
        QVERIFY(!TaskLogTail::readCached(path));
    }

    void missingFile() { QVERIFY(!TaskLogTail::read(m_dir.filePath(QStringLiteral("none.log")))); }

    // A trailing window, however small, gives the whole-file result.
    void windowEdges_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("window");
        const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467"); // one character
        const QString flag = QStringLiteral("\U0001F1E9\U0001F1EA");
        QTest::newRow("mostly white space") << "head " + repeat("x", 2500) + repeat(" \n", 400000) << 64;
        QTest::newRow("content then spaces, big window") << repeat("y", 3000) + repeat("\n", 100000) << 65536;
        QTest::newRow("zwj sequences") << repeat(family, 2100) << 37;
        QTest::newRow("combining") << repeat(QStringLiteral("a\u0301\u0302"), 2300) << 33;
        QTest::newRow("flags, odd lead") << "\U0001F1EB" + repeat(flag, 2100) << 64;
        QTest::newRow("flags, even") << repeat(flag, 2100) << 64;
        QTest::newRow("short file, small window") << QStringLiteral("  short log  ") << 4;
        QTest::newRow("multibyte at every edge") << repeat(QStringLiteral("\u00e9\u4e2d\U0001F600"), 900) << 17;
    }

    void windowEdges()
    {
        QFETCH(QString, text);
        QFETCH(int, window);
        const QString path = write(text.toUtf8());
        QCOMPARE(TaskLogTail::read(path, TaskLogTail::kDefaultMaxCharacters, window), TaskLogTail::fromText(text));
    }
};

QTEST_GUILESS_MAIN(TestTaskLogTail)
#include "tst_tasklogtail.moc"
