#include "MainWindow.h"

#include <QWidget>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Tessaron"));
    auto *central = new QWidget(this);
    central->setObjectName(QStringLiteral("rootView"));
    setCentralWidget(central);
    resize(1280, 800);
}
