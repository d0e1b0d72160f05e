#include "shell/DarkAppearance.h"
#include "shell/MainWindow.h"

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
        QCOMPARE(qApp->style()->name().toLower(), QStringLiteral("fusion"));
        QVERIFY(qApp->palette().color(QPalette::Window).lightness() < 64);
        QVERIFY(window.findChild<QWidget *>(QStringLiteral("rootView")));
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
