#pragma once

#include "KeyTable.h"
#include "MainWindowState.h"
#include "VoiceCapture.h"

#include <QCoroTask>
#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <memory>
#include <optional>

class AlertDialog;
class AppState;
class CommandHistorySheet;
class CommandLinePanel;
class GlobalVoiceHotkey;
class EmbeddedTerminalPanel;
class PlaceholderView;
class ProjectBrowserSidebarView;
class QAction;
class QDialog;
class QFileDialog;
class NoProjectsView;
class SidebarColumn;
class WorkspacePage;
class QLabel;
class QListWidget;
class QPushButton;
class QSplitter;
class QStackedWidget;
class QTimer;
class VirtualTitlebarStrip;
class WorkspaceBoardHost;

// What the window is built with besides the application state; every member
// has a default for the running program.
struct MainWindowOptions
{
    // Builds the window's dictation controller on first use.
    std::function<std::unique_ptr<VoiceCaptureController>()> makeVoiceCaptureController;
    // The system beep.
    std::function<void()> beep;
    // Also take Alt+Space system-wide where the display server allows it.
    bool grabGlobalVoiceHotkey = true;
    // The directory picker: runs the dialog modally and gives the chosen
    // folder, or none when cancelled. Default: a non-native folder dialog.
    std::function<std::optional<QString>(QFileDialog &dialog)> runDirectoryPicker;
    // The clipboard's text (default: the system clipboard).
    std::function<void(const QString &)> setClipboardText;
    // The informational alert that repeats a copied share link.
    std::function<void(const QString &title, const QString &message)> showShareLinkAlert;
    // This machine's local network address for the share link (default: the
    // interface list).
    std::function<std::optional<QString>()> preferredLANAddress;
    // How long the copy feedback stays, and the wait before the health
    // refresh that follows a server start.
    int viewerLinkFeedbackMs = 2000;
    int healthRefreshAfterServerStartMs = 1000;
};

// The single main window over the application state: the sidebar and detail
// columns, the "Shortcuts" menu, the window's key handling, the start-up
// task, the reactions that keep its selection and the application state's
// active workspace in step, the process-backed command line with its
// history, the sheets and alerts and the dictation overlay.
class MainWindow final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)

public:
    explicit MainWindow(AppState &appState, MainWindowOptions options = {}, QWidget *parent = nullptr);
    ~MainWindow() override;

    AppState &appState() const { return m_appState; }
    MainWindowState &state() const { return *m_state; }
    VoiceCaptureController &voiceCaptureController();
    bool isStartupFinished() const { return m_startupFinished; }

    // The active workspace, else the first one visible for the selected team.
    std::optional<QUuid> fallbackWorkspaceID() const;

    // Shortcut handlers, shared by the key rules and the menu's notifications.
    void focusWebPreviewAddressBarForActiveProject();
    void toggleActiveWorkspaceCLIVisibilityWithFocus();
    void createTabForActiveWorkspaceWithFocus();
    void selectTabForActiveWorkspace(qint64 index);
    void focusIntegratedTerminalInput(const std::optional<QUuid> &workspaceID);
    bool shouldFocusCLI(const QUuid &workspaceID) const;
    bool isUsingEmbeddedGhostty(const QUuid &workspaceID) const;
    bool shouldShowVoiceCaptureHUD() const;
    // Typing in a text input other than a workspace's command line refuses
    // the terminal shortcuts.
    bool textEntryRuleAllows() const;
    QCoro::Task<> handleVoiceHotkeyToggle();

    // Runs the workspace's typed command line.
    void runIntegratedCommand(const BL_Workspace &workspace);

    // "Left Sidebar": hides or shows the sidebar column (debounced).
    void toggleBookmarkBar();
    bool isSidebarVisible() const;

    // The key rule that acts on the chord, tried in order; `none` passes it.
    KeyTable::Rule applyKeyRules(const KeyTable::KeyChord &chord);

    // Where a dictated text goes: the transcript routing unless replaced.
    std::function<void(const ParakeetTranscription &)> onVoiceTranscription;
    // Sends a dictated text to the target workspace's visible terminal or
    // makes it a queued task there.
    void submitVoiceTranscription(const ParakeetTranscription &transcription);
    void routeVoiceTextToTerminal(const QString &text, const QUuid &workspaceID, bool submitAfterInsertion);

    // The workspace directory picker of the sidebar's two actions.
    void presentWorkspaceDirectoryPicker();
    // The picker's dialog for a mode, opening in `startFolder` when given.
    static QFileDialog *makeWorkspaceDirectoryDialog(
        WorkspacePickerMode mode, const std::optional<QString> &startFolder, QWidget *parent);

    // Copies the local server's share link (loopback host replaced by this
    // machine's network address) and shows the feedback line and the alert.
    void copyViewerShareLinkToClipboard(const QString &alertTitle);
    // Copies a getting-started command; its copied mark clears 1.4 s later.
    void copyGettingStartedCommand(const QString &command);

    WorkspacePage *workspacePage() const { return m_workspacePage; }
    SidebarColumn *sidebarColumn() const { return m_sidebarColumn; }

signals:
    // The start-up task has set the first selection.
    void startupFinished();
    void firstPainted();
    // The window was closed; the application ends with it.
    void closed();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    class KeyFilter;

    void buildLayout();
    void buildMenu();
    void connectSignals();
    void onAppear();
    void onDisappear();
    void startStartupTaskOnce();
    QCoro::Task<> runStartupTask();
    void applyTitleSettings();

    // Reactions: run after the change, coalesced per turn of the event loop.
    struct ObservedValues
    {
        std::optional<QUuid> activeProjectID;
        QList<BL_Workspace> projects;
        std::optional<QUuid> selectedTeamID;
        std::optional<QUuid> currentUserID;
        std::optional<SidebarSelection> sidebarSelection;
    };
    ObservedValues observedValues() const;
    void scheduleReactionPass();
    void runReactionPass();
    void onActiveProjectChanged(const std::optional<QUuid> &active);
    void onProjectsChanged(const QList<BL_Workspace> &projects);
    void onTeamOrUserChanged();
    void onSidebarSelectionChanged(const std::optional<SidebarSelection> &selection);
    void onShortcutNotification(const QString &name, const QVariant &object);
    void persistLastViewed(const std::optional<QUuid> &id);

    // Views
    void refreshSidebar();
    void refreshDetail();
    void refreshMenuState();
    void syncFocusFromState();
    void syncPresentations();
    void syncComposerSheet();
    void syncHistorySheet();
    void syncErrorAlert();
    void syncDeleteAlert();
    void syncCreateTeamAlert();
    void syncVoiceHUD();
    void positionOverlays();
    void chooseCommandHistoryEntry(qint64 row, bool closeSheetFirst);
    void handleHistorySheetKey(const KeyTable::KeyChord &chord);

    AppState &m_appState;
    MainWindowOptions m_options;
    std::unique_ptr<MainWindowState> m_state;
    std::unique_ptr<VoiceCaptureController> m_voiceController;
    std::unique_ptr<KeyFilter> m_keyFilter;
    std::unique_ptr<GlobalVoiceHotkey> m_globalHotkey;
    bool m_appeared = false;
    bool m_startupStarted = false;
    bool m_startupFinished = false;
    bool m_firstPaintReported = false;
    bool m_reactionsArmed = false;
    bool m_reactionPassScheduled = false;
    ObservedValues m_observed;

    // Widgets
    QWidget *m_root = nullptr;
    QSplitter *m_splitter = nullptr;
    SidebarColumn *m_sidebarColumn = nullptr;
    QWidget *m_sidebar = nullptr;
    QStackedWidget *m_detailStack = nullptr;
    NoProjectsView *m_noProjects = nullptr;
    QWidget *m_widgetPage = nullptr;
    PlaceholderView *m_widgetPageContent = nullptr;
    std::optional<SidebarSelection::Kind> m_widgetPageKind;
    WorkspacePage *m_workspacePage = nullptr;
    CommandLinePanel *m_commandLinePanel = nullptr;
    QTimer *m_hideCopiedViewerLinkTimer = nullptr;
    QTimer *m_clearCopiedGettingStartedTimer = nullptr;
    VirtualTitlebarStrip *m_titlebarStrip = nullptr;
    VoiceCaptureHUDView *m_voiceHUD = nullptr;
    QAction *m_refreshAction = nullptr;

    // Presentations
    QPointer<QDialog> m_composerSheet;
    QUuid m_composerSheetID;
    QPointer<CommandHistorySheet> m_historySheet;
    QUuid m_historySheetID;
    QPointer<AlertDialog> m_errorAlert;
    QPointer<AlertDialog> m_deleteAlert;
    QPointer<AlertDialog> m_createTeamAlert;
};
