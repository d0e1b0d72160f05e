#include "shell/DarkAppearance.h"
#include "shell/MainWindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaron"));
    QApplication::setOrganizationDomain(QStringLiteral("tessaron.com"));
    DarkAppearance::apply(application);

    MainWindow window;
    window.show();
    return application.exec();
}
