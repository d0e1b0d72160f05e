// Puts the real main window's terminal into one of its presentations for a
// screenshot:
//   terminal_screenshot_scenes <scene>
// with scene one of: tab, split, expanded, fallback, history. Prints "ready"
// once the scene is on screen and runs until killed. Run under xvfb-run with a
// temporary HOME (docs/screenshots/take-terminal-screenshots).
#include "../shell/ShellFixture.h"
#include "shell/WindowSetup.h"
#include "terminal/EmbeddedTerminalBackendResolver.h"
#include "terminal/EmbeddedTerminalPanel.h"
#include "terminal/GhosttyEmbeddedTerminalView.h"
#include "terminal/TerminalTabActions.h"

#include <QFile>
#include <QGraphicsBlurEffect>
#include <QTimer>
#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const QString scene = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("tab");
    const bool fallback = scene == QStringLiteral("fallback") || scene == QStringLiteral("history");
    EmbeddedTerminalBackendResolver::shared().overrideForTesting(fallback
            ? EmbeddedTerminalBackendResolver::Backend::processFallback
            : EmbeddedTerminalBackendResolver::Backend::embeddedLibrary,
        QStringLiteral("libghostty.so not found. Set TESSARON_LIBGHOSTTY_PATH to a valid path."));
    qputenv("SHELL", "/bin/zsh");
    ShellFixture fixture;
    MainWindow &window = fixture.open();
    WindowSetup::enlargeInitialWindow(window);
    MainWindowState &state = window.state();
    const BL_Workspace web = fixture.importWorkspace(QStringLiteral("web-shop"));
    for (const char *file : {"index.html", "package.json", "README.md", "build.sh"})
        QFile(web.rootPath + u'/' + QLatin1String(file)).open(QIODevice::WriteOnly);
    QDir(web.rootPath).mkpath(QStringLiteral("src"));
    QDir(web.rootPath).mkpath(QStringLiteral("node_modules"));
    QFile::setPermissions(
        web.rootPath + QStringLiteral("/build.sh"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    WorkspaceTerminalState terminal = state.workspaceTerminalState();
    terminal.cliVisibilityByWorkspaceID.insert(web.id, true);
    terminal.ensureWorkspace(web.id);
    state.setWorkspaceTerminalState(terminal);
    ShellFixture::settle();

    auto type = [&](const QString &tab, const QString &text) {
        state.pendingGhosttyInjectedTextBySessionKey.insert(MainWindowState::sessionKey(web.id, tab),
            GhosttyInjectedText {state.nextGhosttyInjectedTextToken++, text, true});
        // Any state change updates the panes, which type the pending text.
        WorkspaceTerminalState touched = state.workspaceTerminalState();
        touched.markCommandSubmitted(web.id, tab);
        state.setWorkspaceTerminalState(touched);
    };
    const QString first = WorkspaceTerminalState::defaultTabID(web.id);

    if (fallback) {
        for (const char *command : {"git init -q && git status --short", "ls -la --color=never",
                 "printf 'Build \\342\\234\\223 done in %s s\\n' 1.8 && false"}) {
            state.commandRunner().setInput(web.id, QLatin1String(command));
            state.commandRunner().runIntegratedCommand(web);
            TestSupport::waitUntil([&] { return !state.commandRunner().isRunning(web.id); }, 20000);
        }
        if (scene == QStringLiteral("history")) {
            state.setCommandHistoryContext(CommandHistoryContext {QUuid::createUuid(), web.id});
            state.setCommandHistorySelectionIndex(1);
        }
    } else {
        TestSupport::waitUntil(
            [&] {
                auto *view
                    = GhosttyEmbeddedTerminalViewCache::shared().existing(MainWindowState::sessionKey(web.id, first));
                return view && view->hasSession() && !view->visibleText().trimmed().isEmpty();
            },
            10000);
        type(first,
            QStringLiteral(
                "PS1='%F{135}web-shop%f %# '; clear; ls --color=always -F; "
                "printf '\\e[32m✓ 12 passed\\e[0m  \\e[33m! 1 warning\\e[0m  \\e[1;31m✗ 0 failed\\e[0m\\n'"));
        if (scene != QStringLiteral("tab")) {
            WorkspaceTerminalState tabs = state.workspaceTerminalState();
            tabs.createTab(web.id, QStringLiteral("0f5e2c1a-7b7d-4d55-9a51-2b7c9e0e4d11"));
            state.setWorkspaceTerminalState(tabs);
            ShellFixture::settle();
            const QString second = QStringLiteral("0f5e2c1a-7b7d-4d55-9a51-2b7c9e0e4d11");
            TestSupport::waitUntil(
                [&] {
                    auto *view = GhosttyEmbeddedTerminalViewCache::shared().existing(
                        MainWindowState::sessionKey(web.id, second));
                    return view && view->hasSession() && !view->visibleText().trimmed().isEmpty();
                },
                10000);
            type(second,
                QStringLiteral("PS1='%F{39}tests%f %# '; clear; seq -f 'line %g' 1 6; "
                               "printf '\\e[7m reverse \\e[0m \\e[4munderline\\e[0m \\e[38;5;208morange\\e[0m\\n'"));
            if (scene == QStringLiteral("split")) {
                TerminalTabActions::toggleSnap(state, web.id, first);
                TerminalTabActions::toggleSnap(state, web.id, second);
            }
        }
        if (scene == QStringLiteral("expanded")) {
            QTest::qWait(1500); // the shells' output settles first
            WorkspaceTerminalState expanded = state.workspaceTerminalState();
            expanded.setCLIExpanded(true, web.id);
            state.setWorkspaceTerminalState(expanded);
            ShellFixture::settle();
            // The window's page lays the overlay over the board; here it is
            // drawn the same way by hand: backdrop, then the expanded panel
            // 4 points above the bottom of the board area.
            auto *inline_ = fixture.find<EmbeddedTerminalPanel>(QStringLiteral("embeddedTerminalPanel"));
            QWidget *page = inline_->parentWidget();
            inline_->hide();
            // The page under the overlay is blurred.
            for (QWidget *child : page->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
                auto *blur = new QGraphicsBlurEffect(child);
                blur->setBlurRadius(14);
                child->setGraphicsEffect(blur);
            }
            auto *backdrop = new QWidget(page);
            backdrop->setStyleSheet(QStringLiteral("background: rgba(0, 0, 0, 97);"));
            backdrop->setGeometry(page->rect());
            backdrop->show();
            auto *overlay = new EmbeddedTerminalPanel(*fixture.appState, state, page);
            const qreal available = page->height();
            const int height
                = int(std::min<qreal>(EmbeddedTerminalPanel::expandedContainerHeight(available), available - 4));
            overlay->setWorkspace(web, true, height, true);
            overlay->setGeometry(0, page->height() - 4 - height, page->width(), height);
            overlay->show();
            overlay->raise();
        }
    }
    ShellFixture::settle();
    QTimer::singleShot(1500, [] {
        std::printf("ready\n");
        std::fflush(stdout);
    });
    return application.exec();
}
