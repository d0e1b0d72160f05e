// The main window's actions that reach beyond its own views: dictation
// routing, the workspace directory picker and the share link.
#include "MainWindow.h"

#include "AlertDialog.h"
#include "SidebarColumn.h"
#include "WorkspacePage.h"
#include "common/Text.h"
#include "platform/NetworkInterfaces.h"
#include "state/AppState.h"
#include "terminal/EmbeddedTerminalBackendResolver.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QPointer>
#include <QTimer>

namespace {

std::optional<BL_Workspace> workspaceIn(const QList<BL_Workspace> &list, const QUuid &id)
{
    for (const BL_Workspace &workspace : list)
        if (workspace.id == id)
            return workspace;
    return std::nullopt;
}

// A terminal gets dictated text on one line: every inner line break becomes
// one space, so only the explicit submit ever sends Return.
QString singleLine(const QString &text)
{
    QString line;
    line.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const bool isBreak = c == u'\r' || c == u'\n' || c == QChar(0x0B) || c == QChar(0x0C) || c == QChar(0x85)
            || c == QChar(0x2028) || c == QChar(0x2029);
        if (!isBreak) {
            line.append(c);
            continue;
        }
        if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n')
            ++i; // CR LF is one break
        line.append(u' ');
    }
    return line;
}

} // namespace

// ---- Dictation ----

void MainWindow::submitVoiceTranscription(const ParakeetTranscription &transcription)
{
    // The submit flag is used up by every transcription, whatever follows.
    const bool submit = m_state->pendingVoiceEnterSubmitAfterTranscription();
    m_state->setPendingVoiceEnterSubmitAfterTranscription(false);

    const QString text = Text::trimmed(transcription.text);
    if (text.isEmpty()) {
        m_appState.setLastErrorMessage(QStringLiteral("Voice transcription was empty."));
        return;
    }
    std::optional<QUuid> target = m_appState.activeProjectID();
    if (!target) {
        const QList<BL_Workspace> visible = m_appState.projectsForSelectedTeam();
        if (!visible.isEmpty())
            target = visible.first().id;
        else if (!m_appState.projects().isEmpty())
            target = m_appState.projects().first().id;
    }
    if (!target) {
        m_appState.setLastErrorMessage(QStringLiteral("No workspace is available to submit the voice transcription."));
        return;
    }
    const QUuid id = *target;
    if (m_state->sidebarSelection() != SidebarSelection::project(id)) {
        m_state->setSidebarSelection(SidebarSelection::project(id));
        m_state->setLastViewedProjectID(id);
    }
    if (m_state->workspaceTerminalState().isCLIVisible(id)) {
        routeVoiceTextToTerminal(text, id, submit);
        return;
    }
    TaskCreationRequest request;
    request.projectID = id;
    request.title = text;
    request.acceptanceCriteria = QString();
    request.description = std::nullopt;
    request.priority = QStringLiteral("medium");
    request.sizeEstimate = QStringLiteral("M");
    request.initialStatus = BL_TaskStatus::queued;
    request.additionalMetadata = QJsonObject {
        {QStringLiteral("input_source"), QStringLiteral("voice-option-space")},
        {QStringLiteral("transcription_engine"), transcription.engine},
    };
    m_appState.createTask(request);
}

void MainWindow::routeVoiceTextToTerminal(const QString &text, const QUuid &workspaceID, bool submitAfterInsertion)
{
    const QString line = singleLine(text);
    if (isUsingEmbeddedGhostty(workspaceID)) {
        WorkspaceTerminalState terminal = m_state->workspaceTerminalState();
        terminal.ensureWorkspace(workspaceID);
        m_state->setWorkspaceTerminalState(terminal);
        QString tab = terminal.activeTabIDByWorkspaceID.value(workspaceID);
        if (tab.isEmpty())
            tab = terminal.tabIDsByWorkspaceID.value(workspaceID).value(0);
        if (tab.isEmpty())
            tab = WorkspaceTerminalState::defaultTabID(workspaceID);
        const QString key = MainWindowState::sessionKey(workspaceID, tab);
        m_state->pendingGhosttyInjectedTextBySessionKey.insert(
            key, GhosttyInjectedText {m_state->nextGhosttyInjectedTextToken, line, submitAfterInsertion});
        ++m_state->nextGhosttyInjectedTextToken;
        // The panel picks the text up when it redraws.
        m_state->setWorkspaceTerminalState(m_state->workspaceTerminalState());
        refreshDetail();
        focusIntegratedTerminalInput(workspaceID);
        return;
    }
    m_state->commandRunner().setInput(workspaceID, line);
    focusIntegratedTerminalInput(workspaceID);
    if (!submitAfterInsertion)
        return;
    if (const auto workspace = workspaceIn(m_appState.projects(), workspaceID))
        runIntegratedCommand(*workspace);
}

// ---- Workspace directory picker ----

QFileDialog *MainWindow::makeWorkspaceDirectoryDialog(
    WorkspacePickerMode mode, const std::optional<QString> &startFolder, QWidget *parent)
{
    const bool importing = mode == WorkspacePickerMode::addExisting;
    auto *dialog = new QFileDialog(parent);
    dialog->setObjectName(QStringLiteral("workspaceDirectoryPicker"));
    // Our own dialog, so the confirm label and the message show.
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly, true);
    dialog->setOption(QFileDialog::ReadOnly, false); // folders can be created
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setLabelText(QFileDialog::Accept, importing ? QStringLiteral("Import") : QStringLiteral("Select"));
    const QString message = importing ? QStringLiteral("Choose a workspace directory to import.")
                                      : QStringLiteral("Choose a parent directory for the new workspace.");
    auto *label = new QLabel(message, dialog);
    label->setObjectName(QStringLiteral("pickerMessage"));
    label->setWordWrap(true);
    if (auto *grid = qobject_cast<QGridLayout *>(dialog->layout())) {
        // Above the dialog's own rows.
        QList<std::tuple<QLayoutItem *, int, int, int, int>> items;
        while (grid->count() > 0) {
            int row, column, rowSpan, columnSpan;
            grid->getItemPosition(0, &row, &column, &rowSpan, &columnSpan);
            items.append({grid->takeAt(0), row, column, rowSpan, columnSpan});
        }
        grid->addWidget(label, 0, 0, 1, std::max(1, grid->columnCount()));
        for (const auto &[item, row, column, rowSpan, columnSpan] : items)
            grid->addItem(item, row + 1, column, rowSpan, columnSpan);
    }
    if (startFolder)
        dialog->setDirectory(*startFolder);
    return dialog;
}

void MainWindow::presentWorkspaceDirectoryPicker()
{
    std::optional<QString> startFolder;
    if (const Result<QString> root = m_appState.managedWorkspaceRootDirectoryURL(); root)
        startFolder = *root;
    QPointer<QFileDialog> dialog = makeWorkspaceDirectoryDialog(m_state->pickerMode, startFolder, this);
    std::optional<QString> chosen;
    if (m_options.runDirectoryPicker) {
        chosen = m_options.runDirectoryPicker(*dialog);
    } else if (dialog->exec() == QDialog::Accepted && !dialog->selectedFiles().isEmpty()) {
        chosen = dialog->selectedFiles().first();
    }
    if (dialog)
        dialog->deleteLater();
    if (!chosen || chosen->isEmpty())
        return;
    auto handle = [](QPointer<MainWindow> self, AppState *appState, QString folder) -> QCoro::Task<> {
        // The mode is read again when the folder is handed on.
        if (!self)
            co_return;
        if (self->m_state->pickerMode == WorkspacePickerMode::initializeNew)
            co_await appState->initializeNewProject(folder);
        else
            co_await appState->importExistingProject(folder);
        if (!self)
            co_return;
        // After a failure too: the workspace active now, if any.
        if (const auto active = appState->activeProjectID())
            self->m_state->setSidebarSelection(SidebarSelection::project(*active));
    };
    auto task = handle(QPointer<MainWindow>(this), &m_appState, *chosen);
    Q_UNUSED(task);
}

// ---- Share link ----

void MainWindow::copyViewerShareLinkToClipboard(const QString &alertTitle)
{
    const std::optional<QUrl> link = m_appState.localTaskViewerURL();
    if (!link)
        return; // no server, no effect
    auto preferred
        = m_options.preferredLANAddress ? m_options.preferredLANAddress : std::function<std::optional<QString>()>([] {
              return NetworkInterfaces::preferredLANAddress(NetworkInterfaces::systemList());
          });
    const QUrl shared = NetworkInterfaces::lanShareURL(*link, preferred).value_or(*link);
    const QString text = shared.toString(QUrl::FullyEncoded);
    if (m_options.setClipboardText)
        m_options.setClipboardText(text);
    else
        QGuiApplication::clipboard()->setText(text);
    // A newer copy restarts the wait from now.
    m_hideCopiedViewerLinkTimer->stop();
    m_state->setViewerLinkFeedback(true, QStringLiteral("Copied: ") + text);
    m_hideCopiedViewerLinkTimer->start(m_options.viewerLinkFeedbackMs);
    if (m_options.showShareLinkAlert) {
        m_options.showShareLinkAlert(alertTitle, text);
        return;
    }
    auto *alert = new AlertDialog(QStringLiteral("shareLinkAlert"), alertTitle, this);
    alert->setMessage(text);
    alert->addButton(QStringLiteral("OK"), AlertDialog::Role::none, QStringLiteral("alertOKButton"));
    alert->open();
}

void MainWindow::copyGettingStartedCommand(const QString &command)
{
    if (m_options.setClipboardText)
        m_options.setClipboardText(command);
    else
        QGuiApplication::clipboard()->setText(command);
    m_clearCopiedGettingStartedTimer->stop();
    m_clearCopiedGettingStartedTimer->disconnect(this);
    m_state->copiedGettingStartedCommand = command;
    connect(m_clearCopiedGettingStartedTimer, &QTimer::timeout, this, [this, command] {
        // Only the command this wait was started for.
        if (m_state->copiedGettingStartedCommand == command)
            m_state->copiedGettingStartedCommand.reset();
    });
    m_clearCopiedGettingStartedTimer->start(1400);
}
