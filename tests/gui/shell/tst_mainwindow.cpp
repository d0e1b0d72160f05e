#include "shell/DarkAppearance.h"
#include "shell/MainWindow.h"
#include "shell/SymbolIcons.h"

#include <QApplication>
#include <QStyle>
#include <QtTest>

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void opensTitledDarkWindow()
    {
        DarkAppearance::apply(*qApp);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.windowTitle(), QStringLiteral("Tessaron"));
        // With the application style sheet the style is a sheet style over Fusion.
        const QStyle *baseStyle = qApp->style()->findChild<QStyle *>();
        QVERIFY(baseStyle);
        QCOMPARE(baseStyle->name().toLower(), QStringLiteral("fusion"));
        QCOMPARE(qApp->styleSheet(), DarkAppearance::styleSheet());
        QCOMPARE(qApp->font().family(), QStringLiteral("Inter"));
        QVERIFY(qApp->palette().color(QPalette::Window).lightness() < 64);
        QVERIFY(window.findChild<QWidget *>(QStringLiteral("rootView")));
    }

    void everySymbolNameHasAThemeIcon()
    {
        QVERIFY(SymbolIcons::registerTheme());
        QVERIFY(SymbolIcons::themeName(QStringLiteral("no.such.symbol")).isEmpty());
        for (const QString &symbol : SymbolIcons::symbolNames()) {
            const QString name = SymbolIcons::themeName(symbol);
            QVERIFY2(QIcon::hasThemeIcon(name), qPrintable(symbol + QStringLiteral(" -> ") + name));
            QVERIFY2(!SymbolIcons::icon(symbol).isNull(), qPrintable(symbol));
        }
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
