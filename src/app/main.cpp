#include "agents/BrimlockSessionTerminator.h"
#include "cloud/KeychainSessionStore.h"
#include "platform/SettingsStore.h"
#include "shell/DarkAppearance.h"
#include "shell/MainWindow.h"
#include "shell/WindowSetup.h"
#include "state/AppState.h"

#include <QApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QTimer>
#include <QWindow>

#include <cstdio>

int main(int argc, char *argv[])
{
    QElapsedTimer sinceLaunch;
    sinceLaunch.start();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaron"));
    QApplication::setOrganizationDomain(QStringLiteral("tessaron.com"));
    QApplication::setApplicationVersion(QStringLiteral(TESSARON_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("tessaron"));
    DarkAppearance::apply(application);

    // The one application state of the process, and its one window.
    FileSettingsStore settings(FileSettingsStore::standardPath());
    AppStateOptions options;
    // The signed-in backend session lives in the user's keyring.
    options.sessionStore = std::make_unique<KeychainSessionStore>(std::make_unique<QtKeychainSecretBackend>(3000));
    options.activity.isActive = [] { return QGuiApplication::applicationState() == Qt::ApplicationActive; };
    options.activity.hasWindow = [] { return !QGuiApplication::topLevelWindows().isEmpty(); };
    options.googleSignIn.openBrowser = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    AppState appState(settings, std::make_unique<BrimlockSessionTerminator>(), std::move(options));

    MainWindow window(appState);
    // Closing the window ends the application.
    QObject::connect(&window, &MainWindow::closed, &application, &QCoreApplication::quit, Qt::QueuedConnection);
    if (qEnvironmentVariableIsSet("TESSARON_STARTUP_PROBE")) {
        // For the start-up benchmark: when the window first painted.
        QObject::connect(&window, &MainWindow::firstPainted, &window, [&sinceLaunch] {
            std::fprintf(stderr, "tessaron-first-paint-ms %lld\n", static_cast<long long>(sinceLaunch.elapsed()));
            std::fflush(stderr);
        });
    }
    window.show();
    // On the next turn, once the window exists: 90% of the screen, centred, in front.
    QTimer::singleShot(0, &window, [&window] {
        WindowSetup::enlargeInitialWindow(window);
        window.raise();
        window.activateWindow();
    });
    return application.exec();
}
