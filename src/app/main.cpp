#include "agents/BrimlockSessionTerminator.h"
#include "cloud/KeychainSessionStore.h"
#include "platform/SettingsStore.h"
#include "shell/DarkAppearance.h"
#include "shell/MainWindow.h"
#include "state/AppState.h"

#include <QApplication>
#include <QDesktopServices>
#include <QTimer>
#include <QWindow>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaron"));
    QApplication::setOrganizationDomain(QStringLiteral("tessaron.com"));
    QApplication::setApplicationVersion(QStringLiteral(TESSARON_VERSION));
    QApplication::setQuitOnLastWindowClosed(true);
    DarkAppearance::apply(application);

    FileSettingsStore settings(FileSettingsStore::standardPath());
    AppStateOptions options;
    // The signed-in backend session lives in the user's keyring.
    options.sessionStore = std::make_unique<KeychainSessionStore>(std::make_unique<QtKeychainSecretBackend>(3000));
    options.activity.isActive = [] { return QGuiApplication::applicationState() == Qt::ApplicationActive; };
    options.activity.hasWindow = [] { return !QGuiApplication::topLevelWindows().isEmpty(); };
    options.googleSignIn.openBrowser = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    AppState appState(settings, std::make_unique<BrimlockSessionTerminator>(), std::move(options));

    MainWindow window;
    window.show();
    // Start-up runs once the window is on screen.
    QTimer::singleShot(0, &appState, [&appState] { appState.bootstrap(); });
    return application.exec();
}
