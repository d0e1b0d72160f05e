#pragma once

#include <QHash>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <optional>

struct tessaron_ghostty_session;

// What an owner asks of a terminal view; built afresh on every update.
struct GhosttyEmbeddedTerminalConfiguration
{
    QString sessionKey;
    QString workingDirectory;
    std::optional<QString> command;
    std::optional<QString> libraryPathOverride;
    std::optional<QString> injectedText;
    std::optional<quint64> injectedTextToken;
    bool injectedTextShouldSubmit = false;
    bool autoFocus = false;
    std::function<void(const QString &)> onFailure;
    std::function<void()> onOutputActivity;
    std::function<void()> onUserInputActivity;
    std::function<void()> onCommandSubmitted;
    std::function<void(std::optional<qint64>)> onCommandFinished;
};

// The widget that hosts one terminal session of the terminal library. The
// session is created once the widget is in a shown window, follows the
// widget's size, scale and focus, and lives as long as the widget; the
// library paints into a child of it. GUI thread only.
class GhosttyEmbeddedTerminalView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(GhosttyEmbeddedTerminalView)

public:
    enum class CommandShortcut { copy, paste };

    GhosttyEmbeddedTerminalView(const GhosttyEmbeddedTerminalConfiguration &configuration, QWidget *parent = nullptr);
    ~GhosttyEmbeddedTerminalView() override;

    // A changed working directory, command or library path replaces the
    // session; the same values again change nothing.
    void updateConfiguration(const QString &workingDirectory, const std::optional<QString> &command,
        const std::optional<QString> &libraryPathOverride);
    // Types the text once per token (then Return when asked).
    void updateInjectedText(const std::optional<QString> &text, std::optional<quint64> token, bool shouldSubmit);
    void requestAutoFocus();
    void setCallbacks(const GhosttyEmbeddedTerminalConfiguration &configuration);

    bool hasSession() const { return m_session != nullptr; }
    tessaron_ghostty_session *session() const { return m_session; }
    const QString &workingDirectory() const { return m_workingDirectory; }
    const std::optional<QString> &command() const { return m_command; }
    // The terminal's visible text, for tests and diagnostics.
    QString visibleText() const;

    // The terminal view that last took focus or keyboard input.
    static GhosttyEmbeddedTerminalView *preferredPasteTarget(const GhosttyEmbeddedTerminalView *asking);

    static QString normalizedWorkingDirectory(const QString &text);
    static std::optional<QString> normalizedCommand(const std::optional<QString> &text);
    // Ctrl+Shift+C copies and Ctrl+Shift+V pastes; nothing else is a shortcut.
    static std::optional<CommandShortcut> commandShortcut(int qtKey, Qt::KeyboardModifiers modifiers);
    // The text a key press sends: Control with a letter and no text of its
    // own gives the control character.
    static std::optional<QString> inputText(const QString &text, int qtKey, Qt::KeyboardModifiers modifiers);

    // Called by the bridge on the GUI thread.
    void didReceiveOutputActivity();
    void didFinishCommand(std::optional<qint64> exitCode);

    void copy();
    void paste();

protected:
    bool event(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;

private:
    void createSessionIfNeeded();
    void destroySession();
    void flushPendingInjectedTextIfNeeded();
    void syncSurfaceSize();
    void focusIfNeeded();
    bool sendKey(const QKeyEvent &event);
    bool sendSyntheticKey(CommandShortcut shortcut);
    void sendText(const QString &text);
    bool pasteSystemClipboardText();
    void reportFailure(const QString &message);
    void notifyUserInput();

    QString m_workingDirectory;
    std::optional<QString> m_command;
    std::optional<QString> m_libraryPathOverride;
    GhosttyEmbeddedTerminalConfiguration m_callbacks;
    std::optional<QString> m_injectedText;
    std::optional<quint64> m_injectedTextToken;
    bool m_injectedTextShouldSubmit = false;
    std::optional<quint64> m_lastAppliedInjectedTextToken;
    bool m_didReportFailure = false;
    tessaron_ghostty_session *m_session = nullptr;
    struct HostGlue;
    HostGlue *m_glue = nullptr;
};

// Terminal views by session key, for the life of the process: a terminal
// keeps running while no panel shows it and comes back unchanged.
class GhosttyEmbeddedTerminalViewCache final
{
public:
    static GhosttyEmbeddedTerminalViewCache &shared();

    // The view of the key, made on first use and updated with the
    // configuration; a view shown elsewhere is taken from there.
    GhosttyEmbeddedTerminalView *view(const GhosttyEmbeddedTerminalConfiguration &configuration);
    GhosttyEmbeddedTerminalView *existing(const QString &sessionKey) const;
    int count() const { return int(m_storage.size()); }

private:
    QHash<QString, QPointer<GhosttyEmbeddedTerminalView>> m_storage;
};
