#include "GhosttyEmbeddedTerminalView.h"

#include "shell/KeyTable.h"
#include "terminal/TerminalKeys.h"
#include "terminal/tessaron_ghostty_bridge.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <QWindow>

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

QPointer<GhosttyEmbeddedTerminalView> g_preferredPasteTarget;

QString bufferText(const char *buffer, size_t size)
{
    const size_t length = strnlen(buffer, size);
    return QString::fromUtf8(buffer, qsizetype(length)).trimmed();
}

} // namespace

// The host record handed to the bridge points here; the view outlives it.
struct GhosttyEmbeddedTerminalView::HostGlue
{
    GhosttyEmbeddedTerminalView *view;
};

GhosttyEmbeddedTerminalView::GhosttyEmbeddedTerminalView(
    const GhosttyEmbeddedTerminalConfiguration &configuration, QWidget *parent)
    : QWidget(parent),
      m_workingDirectory(normalizedWorkingDirectory(configuration.workingDirectory)),
      m_command(normalizedCommand(configuration.command)),
      m_libraryPathOverride(normalizedCommand(configuration.libraryPathOverride)),
      m_injectedText(normalizedCommand(configuration.injectedText)),
      m_injectedTextToken(configuration.injectedTextToken),
      m_injectedTextShouldSubmit(configuration.injectedTextShouldSubmit),
      m_glue(new HostGlue {this})
{
    setObjectName(QStringLiteral("terminalSurfaceView"));
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    setAutoFillBackground(false);
    KeyTable::markAsTerminalView(*this);
    setCallbacks(configuration);
}

GhosttyEmbeddedTerminalView::~GhosttyEmbeddedTerminalView()
{
    destroySession();
    delete m_glue;
}

void GhosttyEmbeddedTerminalView::setCallbacks(const GhosttyEmbeddedTerminalConfiguration &configuration)
{
    m_callbacks.onFailure = configuration.onFailure;
    m_callbacks.onOutputActivity = configuration.onOutputActivity;
    m_callbacks.onUserInputActivity = configuration.onUserInputActivity;
    m_callbacks.onCommandSubmitted = configuration.onCommandSubmitted;
    m_callbacks.onCommandFinished = configuration.onCommandFinished;
}

QString GhosttyEmbeddedTerminalView::normalizedWorkingDirectory(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return text;
    if (trimmed.contains(QStringLiteral("://")) && QUrl(trimmed, QUrl::StrictMode).isValid())
        return trimmed;
    QString path = QDir::cleanPath(trimmed);
    if (path.size() < 2)
        return path;
    static const QRegularExpression onlySlashes(QStringLiteral("^/+$"));
    if (onlySlashes.match(path).hasMatch())
        return QStringLiteral("/");
    static const QRegularExpression trailing(QStringLiteral("(?<!^)/+$"));
    return path.remove(trailing);
}

std::optional<QString> GhosttyEmbeddedTerminalView::normalizedCommand(const std::optional<QString> &text)
{
    if (!text)
        return std::nullopt;
    const QString trimmed = text->trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}

std::optional<GhosttyEmbeddedTerminalView::CommandShortcut> GhosttyEmbeddedTerminalView::commandShortcut(
    int qtKey, Qt::KeyboardModifiers modifiers)
{
    const Qt::KeyboardModifiers held = modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (held != Qt::ControlModifier || !(modifiers & Qt::ShiftModifier))
        return std::nullopt;
    if (qtKey == Qt::Key_C)
        return CommandShortcut::copy;
    if (qtKey == Qt::Key_V)
        return CommandShortcut::paste;
    return std::nullopt;
}

std::optional<QString> GhosttyEmbeddedTerminalView::inputText(
    const QString &text, int qtKey, Qt::KeyboardModifiers modifiers)
{
    if (!text.isEmpty()) {
        // Keys without a character of their own (arrows and the like) may
        // still report one from a private-use area: they send no text.
        bool allPrivate = true;
        for (const char32_t c : text.toUcs4()) {
            const bool isPrivate
                = (c >= 0xE000 && c <= 0xF8FF) || (c >= 0xF0000 && c <= 0xFFFFD) || (c >= 0x100000 && c <= 0x10FFFD);
            allPrivate = allPrivate && isPrivate;
        }
        if (allPrivate)
            return std::nullopt;
        return text;
    }
    if ((modifiers & Qt::ControlModifier) && qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z)
        return QString(QChar(char16_t(qtKey - Qt::Key_A + 1)));
    return std::nullopt;
}

void GhosttyEmbeddedTerminalView::updateConfiguration(const QString &workingDirectory,
    const std::optional<QString> &command, const std::optional<QString> &libraryPathOverride)
{
    const QString directory = normalizedWorkingDirectory(workingDirectory);
    const auto normalizedCmd = normalizedCommand(command);
    const auto library = normalizedCommand(libraryPathOverride);
    if (directory == m_workingDirectory && normalizedCmd == m_command && library == m_libraryPathOverride)
        return;
    m_workingDirectory = directory;
    m_command = normalizedCmd;
    m_libraryPathOverride = library;
    destroySession();
    m_didReportFailure = false;
    createSessionIfNeeded();
}

void GhosttyEmbeddedTerminalView::updateInjectedText(
    const std::optional<QString> &text, std::optional<quint64> token, bool shouldSubmit)
{
    m_injectedText = normalizedCommand(text);
    m_injectedTextToken = token;
    m_injectedTextShouldSubmit = shouldSubmit;
    flushPendingInjectedTextIfNeeded();
}

void GhosttyEmbeddedTerminalView::flushPendingInjectedTextIfNeeded()
{
    if (!m_injectedTextToken || m_injectedTextToken == m_lastAppliedInjectedTextToken)
        return;
    if (!m_injectedText || m_injectedText->isEmpty()) {
        m_lastAppliedInjectedTextToken = m_injectedTextToken;
        return;
    }
    if (!m_session)
        return;
    focusIfNeeded();
    sendText(*m_injectedText);
    if (m_injectedTextShouldSubmit && m_session) {
        focusIfNeeded();
        tessaron_ghostty_session_send_text(m_session, "\r");
    }
    m_lastAppliedInjectedTextToken = m_injectedTextToken;
    notifyUserInput();
}

void GhosttyEmbeddedTerminalView::requestAutoFocus()
{
    if (!window() || !isVisible())
        return;
    QTimer::singleShot(0, this, [this] { focusIfNeeded(); });
}

void GhosttyEmbeddedTerminalView::focusIfNeeded()
{
    if (isVisible() && !hasFocus())
        setFocus(Qt::OtherFocusReason);
    g_preferredPasteTarget = this;
    if (m_session)
        tessaron_ghostty_session_set_focus(m_session, true);
}

void GhosttyEmbeddedTerminalView::createSessionIfNeeded()
{
    if (m_session || !isVisible())
        return;
    const double scale = devicePixelRatioF();
    const QByteArray directory = m_workingDirectory.toUtf8();
    const QByteArray command = m_command ? m_command->toUtf8() : QByteArray();
    const QByteArray library = m_libraryPathOverride ? m_libraryPathOverride->toUtf8() : QByteArray();
    tessaron_ghostty_session_options options {};
    options.working_directory = directory.constData();
    options.command = m_command ? command.constData() : nullptr;
    options.scale_factor = scale > 0 ? scale : 2.0;

    tessaron_ghostty_host host {};
    host.view = this;
    host.context = m_glue;
    host.did_receive_output_activity
        = [](void *context) { static_cast<HostGlue *>(context)->view->didReceiveOutputActivity(); };
    host.did_finish_command = [](void *context, bool hasCode, int64_t code) {
        static_cast<HostGlue *>(context)->view->didFinishCommand(hasCode ? std::optional<qint64>(code) : std::nullopt);
    };
    host.read_clipboard_text = [](void *) -> char * {
        // The standard clipboard only; never the X11 selection.
        const QByteArray text = QGuiApplication::clipboard()->text(QClipboard::Clipboard).toUtf8();
        return strdup(text.constData());
    };
    host.write_clipboard_text = [](void *, const char *utf8) {
        QGuiApplication::clipboard()->setText(QString::fromUtf8(utf8), QClipboard::Clipboard);
    };
    host.allow_program_clipboard_read = [](void *context) -> bool {
        auto *view = static_cast<HostGlue *>(context)->view;
        QMessageBox box(QMessageBox::Question, QStringLiteral("Clipboard"),
            QStringLiteral("A program in the terminal wants to read the clipboard."), QMessageBox::NoButton,
            view->window());
        QPushButton *allow = box.addButton(QStringLiteral("Allow"), QMessageBox::AcceptRole);
        QPushButton *deny = box.addButton(QStringLiteral("Deny"), QMessageBox::RejectRole);
        box.setDefaultButton(deny);
        box.setEscapeButton(deny);
        box.exec();
        return box.clickedButton() == static_cast<QAbstractButton *>(allow);
    };

    char error[512];
    memset(error, 0, sizeof error);
    m_session = tessaron_ghostty_session_create(
        &host, &options, m_libraryPathOverride ? library.constData() : nullptr, error, sizeof error);
    if (!m_session) {
        reportFailure(bufferText(error, sizeof error));
        return;
    }
    tessaron_ghostty_session_set_content_scale(m_session, devicePixelRatioF());
    syncSurfaceSize();
    tessaron_ghostty_session_set_focus(m_session, hasFocus());
    flushPendingInjectedTextIfNeeded();
}

void GhosttyEmbeddedTerminalView::destroySession()
{
    if (!m_session)
        return;
    tessaron_ghostty_session_destroy(m_session);
    m_session = nullptr;
}

void GhosttyEmbeddedTerminalView::syncSurfaceSize()
{
    if (!m_session)
        return;
    const qreal ratio = devicePixelRatioF();
    const qint64 pixelWidth = std::max<qint64>(1, qint64(std::floor(width() * ratio)));
    const qint64 pixelHeight = std::max<qint64>(1, qint64(std::floor(height() * ratio)));
    tessaron_ghostty_session_set_size(m_session, uint32_t(pixelWidth), uint32_t(pixelHeight));
}

void GhosttyEmbeddedTerminalView::reportFailure(const QString &message)
{
    if (m_didReportFailure)
        return;
    m_didReportFailure = true;
    const QString text = message.trimmed().isEmpty() ? QStringLiteral("Failed to initialize embedded Ghostty terminal.")
                                                     : message.trimmed();
    const auto onFailure = m_callbacks.onFailure;
    QTimer::singleShot(0, this, [onFailure, text] {
        if (onFailure)
            onFailure(text);
    });
}

void GhosttyEmbeddedTerminalView::notifyUserInput()
{
    if (m_callbacks.onUserInputActivity)
        m_callbacks.onUserInputActivity();
}

void GhosttyEmbeddedTerminalView::didReceiveOutputActivity()
{
    if (m_callbacks.onOutputActivity)
        m_callbacks.onOutputActivity();
}

void GhosttyEmbeddedTerminalView::didFinishCommand(std::optional<qint64> exitCode)
{
    if (m_callbacks.onCommandFinished)
        m_callbacks.onCommandFinished(exitCode);
}

QString GhosttyEmbeddedTerminalView::visibleText() const
{
    if (!m_session)
        return {};
    char *text = tessaron_ghostty_session_copy_visible_text(m_session);
    const QString result = text ? QString::fromUtf8(text) : QString();
    free(text);
    return result;
}

GhosttyEmbeddedTerminalView *GhosttyEmbeddedTerminalView::preferredPasteTarget(
    const GhosttyEmbeddedTerminalView *asking)
{
    GhosttyEmbeddedTerminalView *target = g_preferredPasteTarget.data();
    if (!target || !target->isVisible() || !target->parentWidget() || target->window() != asking->window())
        return nullptr;
    return target;
}

void GhosttyEmbeddedTerminalView::sendText(const QString &text)
{
    if (!m_session)
        return;
    tessaron_ghostty_session_send_text(m_session, text.toUtf8().constData());
}

bool GhosttyEmbeddedTerminalView::sendKey(const QKeyEvent &event)
{
    if (!m_session)
        return false;
    const auto code = TerminalKeys::keyCode(event.key(), event.modifiers());
    const auto text = inputText(event.text(), event.key(), event.modifiers());
    if (!code && !text)
        return false;
    const QByteArray bytes = text ? text->toUtf8() : QByteArray();
    return tessaron_ghostty_session_send_key(m_session, code.value_or(0xFFFF), text ? bytes.constData() : nullptr,
        TerminalKeys::modifierBits(event.modifiers()), event.isAutoRepeat(),
        TerminalKeys::unshiftedCodepoint(event.key()), false);
}

bool GhosttyEmbeddedTerminalView::sendSyntheticKey(CommandShortcut shortcut)
{
    if (!m_session)
        return false;
    const bool copy = shortcut == CommandShortcut::copy;
    constexpr int32_t command = 0x08;
    return tessaron_ghostty_session_send_key(
        m_session, copy ? 8 : 9, copy ? "c" : "v", command, false, copy ? 0x63 : 0x76, false);
}

bool GhosttyEmbeddedTerminalView::pasteSystemClipboardText()
{
    if (!m_session)
        return false;
    const QString text = QGuiApplication::clipboard()->text(QClipboard::Clipboard);
    if (text.isEmpty())
        return false;
    sendText(text);
    return true;
}

void GhosttyEmbeddedTerminalView::copy()
{
    g_preferredPasteTarget = this;
    focusIfNeeded();
    sendSyntheticKey(CommandShortcut::copy);
}

void GhosttyEmbeddedTerminalView::paste()
{
    notifyUserInput();
    GhosttyEmbeddedTerminalView *target = preferredPasteTarget(this);
    if (target && target != this) {
        target->focusIfNeeded();
        if (target->sendSyntheticKey(CommandShortcut::paste))
            return;
        target->pasteSystemClipboardText();
        return;
    }
    g_preferredPasteTarget = this;
    focusIfNeeded();
    if (sendSyntheticKey(CommandShortcut::paste))
        return;
    pasteSystemClipboardText();
}

bool GhosttyEmbeddedTerminalView::event(QEvent *event)
{
    // Every key the terminal can send reaches it before a window shortcut,
    // except the terminal shortcuts the window keeps.
    if (event->type() == QEvent::ShortcutOverride) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (!KeyTable::isTerminalShortcut(KeyTable::KeyChord::from(*key))) {
            event->accept();
            return true;
        }
    }
    // Tab and Backtab belong to the shell, not to focus movement.
    if (event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            keyPressEvent(key);
            return true;
        }
    }
    return QWidget::event(event);
}

void GhosttyEmbeddedTerminalView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    createSessionIfNeeded();
    syncSurfaceSize();
    if (m_session)
        tessaron_ghostty_session_set_focus(m_session, hasFocus());
    requestAutoFocus();
}

void GhosttyEmbeddedTerminalView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    syncSurfaceSize();
}

void GhosttyEmbeddedTerminalView::focusInEvent(QFocusEvent *event)
{
    QWidget::focusInEvent(event);
    g_preferredPasteTarget = this;
    if (m_session)
        tessaron_ghostty_session_set_focus(m_session, true);
}

void GhosttyEmbeddedTerminalView::focusOutEvent(QFocusEvent *event)
{
    QWidget::focusOutEvent(event);
    if (m_session)
        tessaron_ghostty_session_set_focus(m_session, false);
}

void GhosttyEmbeddedTerminalView::keyPressEvent(QKeyEvent *event)
{
    notifyUserInput();
    g_preferredPasteTarget = this;
    if (const auto shortcut = commandShortcut(event->key(), event->modifiers())) {
        if (*shortcut == CommandShortcut::copy) {
            copy();
            return;
        }
        paste();
        return;
    }
    if (sendKey(*event)) {
        const bool submit = !event->isAutoRepeat() && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
            && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
        if (submit && m_callbacks.onCommandSubmitted)
            m_callbacks.onCommandSubmitted();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void GhosttyEmbeddedTerminalView::mousePressEvent(QMouseEvent *event)
{
    notifyUserInput();
    focusIfNeeded();
    QWidget::mousePressEvent(event);
}

void GhosttyEmbeddedTerminalView::wheelEvent(QWheelEvent *event)
{
    if (!m_session) {
        QWidget::wheelEvent(event);
        return;
    }
    notifyUserInput();
    focusIfNeeded();
    const bool precise = !event->pixelDelta().isNull();
    double dx = 0;
    double dy = 0;
    if (precise) {
        dx = event->pixelDelta().x() * 2.0;
        dy = event->pixelDelta().y() * 2.0;
    } else {
        dx = event->angleDelta().x() / 120.0;
        dy = event->angleDelta().y() / 120.0;
    }
    int momentum = 0;
    switch (event->phase()) {
    case Qt::ScrollBegin:
        momentum = 1;
        break;
    case Qt::ScrollUpdate:
        momentum = 3;
        break;
    case Qt::ScrollEnd:
        momentum = 4;
        break;
    case Qt::ScrollMomentum:
        momentum = 3;
        break;
    default:
        break;
    }
    tessaron_ghostty_session_send_mouse_scroll(m_session, dx, dy, (precise ? 1 : 0) | (momentum << 1));
    event->accept();
}

GhosttyEmbeddedTerminalViewCache &GhosttyEmbeddedTerminalViewCache::shared()
{
    static GhosttyEmbeddedTerminalViewCache cache;
    return cache;
}

GhosttyEmbeddedTerminalView *GhosttyEmbeddedTerminalViewCache::existing(const QString &sessionKey) const
{
    return m_storage.value(sessionKey).data();
}

GhosttyEmbeddedTerminalView *GhosttyEmbeddedTerminalViewCache::view(
    const GhosttyEmbeddedTerminalConfiguration &configuration)
{
    GhosttyEmbeddedTerminalView *view = m_storage.value(configuration.sessionKey).data();
    if (!view) {
        view = new GhosttyEmbeddedTerminalView(configuration);
        view->setObjectName(QStringLiteral("ghostty-") + configuration.sessionKey);
        m_storage.insert(configuration.sessionKey, view);
        // The sessions end with the program: before the application goes.
        static const bool cleanup = [] {
            qAddPostRoutine([] {
                for (const auto &stored : std::as_const(shared().m_storage))
                    delete stored.data();
                shared().m_storage.clear();
            });
            return true;
        }();
        Q_UNUSED(cleanup)
    } else if (view->parentWidget()) {
        // Shown elsewhere until now: it moves to its new place.
        view->hide();
        view->setParent(nullptr);
    }
    view->updateConfiguration(configuration.workingDirectory, configuration.command, configuration.libraryPathOverride);
    view->updateInjectedText(
        configuration.injectedText, configuration.injectedTextToken, configuration.injectedTextShouldSubmit);
    view->setCallbacks(configuration);
    return view;
}
