#include "agents/BrimlockSessionTerminator.h"
#include "platform/SettingsStore.h"
#include "shell/DarkAppearance.h"
#include "shell/MainWindow.h"
#include "state/AppState.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaron"));
    QApplication::setOrganizationDomain(QStringLiteral("tessaron.com"));
    QApplication::setQuitOnLastWindowClosed(true);
    DarkAppearance::apply(application);

    FileSettingsStore settings(FileSettingsStore::standardPath());
    AppState appState(settings, std::make_unique<BrimlockSessionTerminator>());

    MainWindow window;
    window.show();
    // Start-up runs once the window is on screen.
    QTimer::singleShot(0, &appState, [&appState] { appState.bootstrap(); });
    return application.exec();
}
