#include "common/Text.h"

#include <QProcess>
#include <QtTest>

class TextTest : public QObject
{
    Q_OBJECT

private slots:
    void trimming_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("ascii") << " \t a b \r\n"
                               << "a b";
        QTest::newRow("unicode spaces") << QString::fromUtf8("\u00a0\u2003x\u2028\u3000") << "x";
        QTest::newRow("next line") << QString::fromUtf8("\u0085y\u0085") << "y";
        QTest::newRow("blank") << " \n "
                               << "";
        QTest::newRow("inner kept") << "a\n b"
                                    << "a\n b";
    }
    void trimming()
    {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QCOMPARE(Text::trimmed(input), expected);
    }

    void cutsCountGraphemes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("expected");
        const QString family = QString::fromUtf8("\U0001F468\u200D\U0001F469\u200D\U0001F467"); // one grapheme
        const QString thumb = QString::fromUtf8("\U0001F44D\U0001F3FD"); // emoji + skin tone
        const QString flag = QString::fromUtf8("\U0001F1E9\U0001F1EA");
        const QString accent = QString::fromUtf8("e\u0301");
        QTest::newRow("short") << "abc" << 5 << "…"
                               << "abc";
        QTest::newRow("exact") << "abcde" << 5 << "…"
                               << "abcde";
        QTest::newRow("ascii cut") << "abcdef" << 3 << "..."
                                   << "abc...";
        QTest::newRow("zwj family kept whole") << (family + family + "x") << 1 << "" << family;
        QTest::newRow("skin tone kept") << (thumb + thumb) << 1 << "!" << (thumb + "!");
        QTest::newRow("flag kept") << (flag + flag) << 1 << "" << flag;
        QTest::newRow("combining accent kept") << (accent + accent) << 1 << "" << accent;
    }
    void cutsCountGraphemes()
    {
        QFETCH(QString, text);
        QFETCH(int, limit);
        QFETCH(QString, suffix);
        QFETCH(QString, expected);
        QCOMPARE(Text::cutToGraphemes(text, limit, suffix), expected);
    }

    // The tail is found walking back from the end of the text.
    void lastGraphemesKeepsWholeCharacters_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QString>("expected");
        const QString family = QString::fromUtf8("\U0001F468\u200D\U0001F469\u200D\U0001F467");
        const QString flag = QString::fromUtf8("\U0001F1E9\U0001F1EA");
        QTest::newRow("none") << "abc" << 0 << "";
        QTest::newRow("all") << "abc" << 3 << "abc";
        QTest::newRow("more than all") << (family + flag) << 5 << (family + flag);
        QTest::newRow("family at the end") << ("x" + family) << 1 << family;
        QTest::newRow("flags") << (flag + flag + flag) << 2 << (flag + flag);
        QTest::newRow("crlf is one") << "ab\r\n" << 2 << "b\r\n";
    }
    void lastGraphemesKeepsWholeCharacters()
    {
        QFETCH(QString, text);
        QFETCH(int, limit);
        QFETCH(QString, expected);
        QCOMPARE(Text::lastGraphemes(text, limit), expected);
        QCOMPARE(Text::graphemeCount(expected), qsizetype(std::min<qsizetype>(limit, Text::graphemeCount(text))));
    }

    void cutsFourThousandOneEmojiToFourThousand()
    {
        const QString thumb = QString::fromUtf8("\U0001F44D\U0001F3FD");
        QString text;
        for (int i = 0; i < 4001; ++i)
            text += (i % 2) ? thumb : QStringLiteral("a");
        QCOMPARE(Text::graphemeCount(text), 4001);
        const QString cut = Text::cutToGraphemes(text, 4000);
        QCOMPARE(Text::graphemeCount(cut), 4000);
        QVERIFY(text.startsWith(cut));
        QCOMPARE(Text::lastGraphemes(text, 1), QStringLiteral("a"));
        QCOMPARE(Text::lastGraphemes(text, 2), thumb + QStringLiteral("a"));
    }

    void shellQuotingSurvivesZsh_data()
    {
        QTest::addColumn<QString>("argument");
        QTest::newRow("plain") << "hello";
        QTest::newRow("single quote") << "/tmp/it's";
        QTest::newRow("expansions stay literal") << "$(touch x) `id` ${HOME} \"q\" \\";
        QTest::newRow("empty") << "";
    }
    void shellQuotingSurvivesZsh()
    {
        QFETCH(QString, argument);
        if (QStandardPaths::findExecutable(QStringLiteral("zsh")).isEmpty())
            QSKIP("zsh is not installed");
        QProcess zsh;
        zsh.start(QStringLiteral("zsh"),
            {QStringLiteral("-fc"), QStringLiteral("printf %s ") + Text::shellSingleQuoted(argument)});
        QVERIFY(zsh.waitForFinished());
        QCOMPARE(QString::fromUtf8(zsh.readAllStandardOutput()), argument);
        QCOMPARE(Text::shellSingleQuoted(QStringLiteral("it's")), QStringLiteral("'it'\"'\"'s'"));
    }
};

QTEST_GUILESS_MAIN(TextTest)
#include "tst_text.moc"
