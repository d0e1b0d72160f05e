#include "TermSurface.h"

#include "TermApp.h"
#include "TermView.h"

#include <QApplication>
#include <QFont>
#include <QFontMetricsF>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace termlib {

namespace {

    const QFont &terminalFont()
    {
        static const QFont font = [] {
            QFont f(QStringLiteral("JetBrains Mono"));
            f.setStyleHint(QFont::Monospace);
            f.setFixedPitch(true);
            f.setPointSizeF(12);
            return f;
        }();
        return font;
    }

    std::string base64Encode(const std::string &bytes)
    {
        return QByteArray::fromRawData(bytes.data(), qsizetype(bytes.size())).toBase64().toStdString();
    }

    std::string base64Decode(const std::string &text)
    {
        const auto decoded = QByteArray::fromBase64Encoding(QByteArray::fromStdString(text));
        return decoded ? decoded.decoded.toStdString() : std::string();
    }

    void appendUtf8(std::string &out, uint32_t c)
    {
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }

    void trimRight(std::string &text)
    {
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
    }

} // namespace

TermSurface::TermSurface(TermApp *app, const tessaron_term_surface_config &config) : m_app(app), m_config(config)
{
    if (config.working_directory)
        m_workingDirectory = config.working_directory;
    if (config.command)
        m_command = config.command;
    for (size_t i = 0; config.env_vars && i < config.env_var_count; ++i) {
        if (config.env_vars[i].key && config.env_vars[i].value)
            m_environment.emplace_back(config.env_vars[i].key, config.env_vars[i].value);
    }
    m_config.working_directory = nullptr;
    m_config.command = nullptr;
    m_config.env_vars = nullptr;
    m_scale = config.scale_factor > 0 ? config.scale_factor : 1.0;

    if (QGuiApplication::instance()) {
        QFont font = terminalFont();
        if (config.font_size > 0)
            font.setPointSizeF(config.font_size);
        const QFontMetricsF metrics(font);
        m_cellWidth = std::max(1.0, metrics.horizontalAdvance(QLatin1Char('M')));
        m_cellHeight = std::max(1.0, std::ceil(metrics.height()));
    }

    m_vt = vterm_new(m_rows, m_columns);
    vterm_set_utf8(m_vt, 1);
    vterm_output_set_callback(m_vt, &TermSurface::onOutput, this);
    m_screen = vterm_obtain_screen(m_vt);
    static const VTermScreenCallbacks callbacks = {
        &TermSurface::onDamage,
        nullptr,
        &TermSurface::onMoveCursor,
        &TermSurface::onTermProp,
        &TermSurface::onBell,
        nullptr,
        &TermSurface::onPushLine,
        &TermSurface::onPopLine,
    };
    vterm_screen_set_callbacks(m_screen, &callbacks, this);
    static const VTermParserCallbacks fallbacks
        = {nullptr, nullptr, nullptr, nullptr, &TermSurface::onOsc, nullptr, nullptr};
    vterm_screen_set_unrecognised_fallbacks(m_screen, &fallbacks, this);
    vterm_screen_enable_altscreen(m_screen, 1);
    vterm_screen_set_damage_merge(m_screen, VTERM_DAMAGE_SCROLL);
    VTermState *state = vterm_obtain_state(m_vt);
    VTermColor fg, bg;
    vterm_color_rgb(&fg, 0xE6, 0xE6, 0xE6);
    vterm_color_rgb(&bg, 0x00, 0x00, 0x00);
    vterm_state_set_default_colors(state, &fg, &bg);
    vterm_state_set_bold_highbright(state, 1);
    vterm_screen_reset(m_screen, 1);

    if (config.platform_tag == TESSARON_TERM_PLATFORM_QT_WIDGET && config.platform_view
        && qobject_cast<QApplication *>(QCoreApplication::instance())) {
        m_view = new TermView(this, static_cast<QWidget *>(config.platform_view));
    }
}

TermSurface::~TermSurface()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_spaceFreed.notify_all();
    if (m_child > 0)
        kill(-m_child, SIGHUP);
    if (m_wakePipe[1] >= 0) {
        const char byte = 1;
        (void)!write(m_wakePipe[1], &byte, 1);
    }
    if (m_reader.joinable())
        m_reader.join();
    if (m_child > 0 && !m_childExited) {
        if (waitpid(m_child, nullptr, WNOHANG) == 0) {
            kill(-m_child, SIGKILL);
            kill(m_child, SIGKILL);
            waitpid(m_child, nullptr, 0);
        }
    }
    for (int fd : {m_master, m_wakePipe[0], m_wakePipe[1]}) {
        if (fd >= 0)
            close(fd);
    }
    for (ClipboardRequest *request : m_requests)
        delete request;
    if (m_view) {
        m_view->detach();
        delete m_view.data();
    }
    if (m_vt)
        vterm_free(m_vt);
}

bool TermSurface::start()
{
    // Everything the child needs is prepared before the fork.
    std::vector<std::string> environment;
    auto overridden = [this](const char *entry) {
        const char *equals = strchr(entry, '=');
        const std::string key(entry, equals ? size_t(equals - entry) : strlen(entry));
        if (key == "TERM" || key == "COLORTERM")
            return true;
        return std::any_of(m_environment.begin(), m_environment.end(), [&](auto &pair) { return pair.first == key; });
    };
    for (char **entry = environ; entry && *entry; ++entry) {
        if (!overridden(*entry))
            environment.emplace_back(*entry);
    }
    environment.emplace_back("TERM=xterm-256color");
    environment.emplace_back("COLORTERM=truecolor");
    for (const auto &[key, value] : m_environment)
        environment.push_back(key + '=' + value);
    std::vector<char *> envp;
    for (std::string &entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    std::string program = "/bin/sh";
    std::vector<std::string> arguments;
    if (!m_command.empty()) {
        arguments = {"sh", "-c", m_command};
    } else {
        const char *shell = getenv("SHELL");
        if (shell && shell[0] == '/' && access(shell, X_OK) == 0)
            program = shell;
        arguments = {program};
    }
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const char *directory = m_workingDirectory.empty() ? nullptr : m_workingDirectory.c_str();
    static const char kNoFolder[] = "The working folder could not be entered.\r\n";

    if (pipe2(m_wakePipe, O_CLOEXEC) != 0)
        return false;
    struct winsize size = {};
    size.ws_row = (unsigned short)m_rows;
    size.ws_col = (unsigned short)m_columns;
    const pid_t child = forkpty(&m_master, nullptr, nullptr, &size);
    if (child < 0)
        return false;
    if (child == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int signal : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGTSTP, SIGTTIN, SIGTTOU})
            ::signal(signal, SIG_DFL);
        closefrom(3);
        if (directory && chdir(directory) != 0)
            (void)!write(STDERR_FILENO, kNoFolder, sizeof(kNoFolder) - 1);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    m_child = child;
    fcntl(m_master, F_SETFD, FD_CLOEXEC);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_reader = std::thread([this] { readerLoop(); });
    return true;
}

void TermSurface::readerLoop()
{
    std::vector<char> buffer(64 * 1024);
    while (true) {
        struct pollfd fds[2] = {{m_master, short(POLLIN | (m_wantWrite ? POLLOUT : 0)), 0}, {m_wakePipe[0], POLLIN, 0}};
        if (poll(fds, 2, m_wantWrite ? 50 : -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping)
                return;
        }
        if (fds[0].revents & POLLOUT) {
            m_wantWrite = false;
            requestWakeup();
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const ssize_t count = read(m_master, buffer.data(), buffer.size());
        if (count < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (count <= 0) {
            // The program and everything it started closed the terminal.
            int status = 0;
            int code = 0;
            if (waitpid(m_child, &status, 0) == m_child)
                code = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 0;
            {
                std::lock_guard lock(m_mutex);
                m_childExited = true;
                m_exitCode = code;
            }
            requestWakeup();
            return;
        }
        {
            std::unique_lock lock(m_mutex);
            m_spaceFreed.wait(lock, [this] { return m_stopping || m_pendingBytes < kPendingCap; });
            if (m_stopping)
                return;
            m_pending.emplace_back(buffer.data(), size_t(count));
            m_pendingBytes += size_t(count);
        }
        requestWakeup();
    }
}

void TermSurface::requestWakeup()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_wakeupRequested)
            return;
        m_wakeupRequested = true;
    }
    if (m_app->runtime.wakeup_cb)
        m_app->runtime.wakeup_cb(m_app->runtime.userdata);
}

void TermSurface::tick()
{
    std::string slice = std::move(m_carry);
    m_carry.clear();
    bool more = false, exited = false;
    int exitCode = 0;
    {
        std::lock_guard lock(m_mutex);
        const size_t before = slice.size();
        while (!m_pending.empty() && slice.size() < kTickSlice) {
            std::string &front = m_pending.front();
            const size_t take = std::min(kTickSlice - slice.size(), front.size() - m_pendingFrontOffset);
            slice.append(front, m_pendingFrontOffset, take);
            m_pendingFrontOffset += take;
            if (m_pendingFrontOffset == front.size()) {
                m_pending.pop_front();
                m_pendingFrontOffset = 0;
            }
        }
        m_pendingBytes -= slice.size() - before;
        more = !m_pending.empty();
        exited = m_childExited;
        exitCode = m_exitCode;
    }
    m_spaceFreed.notify_all();

    if (!slice.empty()) {
        // Fed in small pieces and only for a few milliseconds, so a flood of
        // output never holds the GUI thread; the rest waits for the next tick.
        const auto start = std::chrono::steady_clock::now();
        size_t fed = 0;
        while (fed < slice.size()) {
            const size_t piece = std::min(kFeedPiece, slice.size() - fed);
            vterm_input_write(m_vt, slice.data() + fed, piece);
            fed += piece;
            if (std::chrono::steady_clock::now() - start > kTickBudget)
                break;
        }
        vterm_screen_flush_damage(m_screen);
        if (fed < slice.size())
            m_carry.assign(slice, fed, std::string::npos);
    }
    more = more || !m_carry.empty();
    exited = exited && !more;
    {
        std::lock_guard lock(m_mutex);
        // While output waits the surface asks for its own next tick; once it is
        // all fed, the reader asks again when more arrives. An exit that came
        // after this tick read the state found a wakeup still pending (this
        // one) and asked for none: passing it on is this tick's job.
        const bool exitUnseen = m_childExited && !exited && !m_exitReported;
        m_wakeupRequested = more || !m_pending.empty() || exitUnseen;
        more = m_wakeupRequested;
    }
    flushToChild();
    repaint();

    auto actions = std::move(m_actions);
    m_actions.clear();
    auto titles = std::move(m_titles);
    m_titles.clear();
    size_t titleIndex = 0;
    for (tessaron_term_action &action : actions) {
        if (action.tag == TESSARON_TERM_ACTION_SET_TITLE)
            action.payload.title = titles[titleIndex++].c_str();
        sendAction(action);
    }
    auto clipboard = std::move(m_deferredClipboard);
    m_deferredClipboard.clear();
    for (const DeferredClipboard &item : clipboard) {
        const int32_t kind = (item.target == 'p' || item.target == 's') ? TESSARON_TERM_CLIPBOARD_SELECTION
                                                                        : TESSARON_TERM_CLIPBOARD_STANDARD;
        if (item.read) {
            auto *request = new ClipboardRequest {ClipboardRequest::ProgramRead, item.target};
            m_requests.insert(request);
            if (m_app->runtime.read_clipboard_cb)
                m_app->runtime.read_clipboard_cb(m_app->runtime.userdata, kind, request);
        } else if (m_app->runtime.write_clipboard_cb && !item.bytes.empty()) {
            m_app->runtime.write_clipboard_cb(m_app->runtime.userdata, kind, item.bytes.data(), item.bytes.size());
        }
    }

    if (exited && !m_exitReported) {
        m_exitReported = true;
        tessaron_term_action action = {};
        action.tag = TESSARON_TERM_ACTION_CHILD_EXITED;
        action.payload.child_exit_code = uint32_t(exitCode);
        sendAction(action);
        if (m_app->runtime.close_surface_cb)
            m_app->runtime.close_surface_cb(m_app->runtime.userdata, false);
    }
    if (more && m_app->runtime.wakeup_cb)
        m_app->runtime.wakeup_cb(m_app->runtime.userdata);
}

void TermSurface::sendAction(const tessaron_term_action &action)
{
    if (!m_app->runtime.action_cb)
        return;
    const tessaron_term_target target = {1, this};
    m_app->runtime.action_cb(m_app, target, &action);
}

void TermSurface::queueToChild(const char *bytes, size_t length)
{
    m_toChild.append(bytes, length);
}

void TermSurface::flushToChild()
{
    while (!m_toChild.empty() && m_master >= 0) {
        const ssize_t written = write(m_master, m_toChild.data(), m_toChild.size());
        if (written > 0) {
            m_toChild.erase(0, size_t(written));
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno == EAGAIN) {
            // The program reads slowly: the reader asks for a tick once it can take more.
            m_wantWrite = true;
            if (m_wakePipe[1] >= 0) {
                const char byte = 0;
                (void)!write(m_wakePipe[1], &byte, 1);
            }
        } else {
            m_toChild.clear(); // the terminal is gone
        }
        break;
    }
}

void TermSurface::repaint()
{
    if (m_dirty && m_view)
        m_view->update();
    m_dirty = false;
}

void TermSurface::resizeGrid()
{
    if (!m_pixelWidth || !m_pixelHeight)
        return;
    const double width = m_pixelWidth / m_scale, height = m_pixelHeight / m_scale;
    const int columns = std::max(1, int(width / m_cellWidth));
    const int rows = std::max(1, int(height / m_cellHeight));
    if (columns == m_columns && rows == m_rows)
        return;
    m_columns = columns;
    m_rows = rows;
    vterm_set_size(m_vt, rows, columns);
    vterm_screen_flush_damage(m_screen);
    m_scrollOffset = std::min<long>(m_scrollOffset, long(m_scrollback.size()));
    if (m_master >= 0) {
        struct winsize size = {};
        size.ws_row = (unsigned short)rows;
        size.ws_col = (unsigned short)columns;
        size.ws_xpixel = (unsigned short)std::min<uint32_t>(m_pixelWidth, USHRT_MAX);
        size.ws_ypixel = (unsigned short)std::min<uint32_t>(m_pixelHeight, USHRT_MAX);
        ioctl(m_master, TIOCSWINSZ, &size);
    }
    m_dirty = true;
    repaint();
}

void TermSurface::setSize(uint32_t width, uint32_t height)
{
    m_pixelWidth = width;
    m_pixelHeight = height;
    resizeGrid();
}

void TermSurface::setContentScale(double x, double)
{
    m_scale = x > 0 ? x : 1.0;
    resizeGrid();
}

void TermSurface::setFocus(bool focused)
{
    if (focused == m_focused)
        return;
    m_focused = focused;
    VTermState *state = vterm_obtain_state(m_vt);
    if (focused)
        vterm_state_focus_in(state);
    else
        vterm_state_focus_out(state);
    flushToChild();
    m_dirty = true;
    repaint();
}

bool TermSurface::key(const tessaron_term_key &key)
{
    if (key.action != TESSARON_TERM_KEY_PRESS && key.action != TESSARON_TERM_KEY_REPEAT)
        return false;
    const int32_t mods = key.mods
        & (TESSARON_TERM_MOD_SHIFT | TESSARON_TERM_MOD_CTRL | TESSARON_TERM_MOD_ALT | TESSARON_TERM_MOD_SUPER);
    if ((mods & ~TESSARON_TERM_MOD_SHIFT) == TESSARON_TERM_MOD_SUPER) {
        const uint32_t letter = key.unshifted_codepoint | 0x20;
        if (key.keycode == 8 || letter == 'c') {
            const std::string text = selectionText();
            if (text.empty() || !m_app->runtime.write_clipboard_cb)
                return false;
            m_app->runtime.write_clipboard_cb(
                m_app->runtime.userdata, TESSARON_TERM_CLIPBOARD_STANDARD, text.data(), text.size());
            return true;
        }
        if (key.keycode == 9 || letter == 'v') {
            if (!m_app->runtime.read_clipboard_cb)
                return false;
            auto *request = new ClipboardRequest {ClipboardRequest::Paste, 'c'};
            m_requests.insert(request);
            m_app->runtime.read_clipboard_cb(m_app->runtime.userdata, TESSARON_TERM_CLIPBOARD_STANDARD, request);
            return true;
        }
        return false;
    }
    std::string direct;
    if (!encodeKey(m_vt, m_app->keybinds, key, direct))
        return false;
    queueToChild(direct.data(), direct.size());
    if (m_scrollOffset) {
        m_scrollOffset = 0;
        m_dirty = true;
        repaint();
    }
    flushToChild();
    return true;
}

void TermSurface::text(const char *bytes, size_t length)
{
    if (!bytes || !length)
        return;
    queueToChild(bytes, length);
    m_scrollOffset = 0;
    flushToChild();
}

void TermSurface::scroll(double, double dy, int32_t mods)
{
    const bool precise = mods & TESSARON_TERM_SCROLL_PRECISE;
    m_scrollRemainder += precise ? dy / m_cellHeight : dy;
    const long lines = long(m_scrollRemainder);
    if (!lines)
        return;
    m_scrollRemainder -= double(lines);
    const long offset = std::clamp<long>(m_scrollOffset + lines, 0, long(m_scrollback.size()));
    if (offset != m_scrollOffset) {
        m_scrollOffset = offset;
        m_dirty = true;
        repaint();
    }
}

void TermSurface::pasteText(const std::string &text)
{
    if (text.empty())
        return;
    const size_t before = m_toChild.size();
    vterm_keyboard_start_paste(m_vt);
    const bool bracketed = m_toChild.size() != before;
    std::string body;
    body.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\x1b') {
            // A pasted text never ends the bracket early or starts its own escapes.
            continue;
        }
        if (!bracketed && c == '\n') {
            if (!(i > 0 && text[i - 1] == '\r'))
                body += '\r';
            continue;
        }
        body += c;
    }
    queueToChild(body.data(), body.size());
    vterm_keyboard_end_paste(m_vt);
    m_scrollOffset = 0;
    flushToChild();
}

void TermSurface::completeClipboardRequest(const char *text, void *state, bool)
{
    auto *request = static_cast<ClipboardRequest *>(state);
    if (!m_requests.count(request))
        return;
    const std::string value = text ? text : "";
    switch (request->phase) {
    case ClipboardRequest::Paste:
        m_requests.erase(request);
        delete request;
        pasteText(value);
        break;
    case ClipboardRequest::ProgramRead:
        // A program's read goes through the confirm callback before it gets anything.
        request->phase = ClipboardRequest::ProgramConfirm;
        if (m_app->runtime.confirm_read_clipboard_cb) {
            m_app->runtime.confirm_read_clipboard_cb(
                m_app->runtime.userdata, value.c_str(), request, TESSARON_TERM_CLIPBOARD_REQUEST_OSC52_READ);
        } else {
            completeClipboardRequest("", request, false);
        }
        break;
    case ClipboardRequest::ProgramConfirm: {
        const std::string reply = std::string("\x1b]52;") + request->target + ';' + base64Encode(value) + "\x07";
        m_requests.erase(request);
        delete request;
        queueToChild(reply.data(), reply.size());
        flushToChild();
        break;
    }
    }
}

long TermSurface::absoluteRow(int viewportRow) const
{
    return long(m_scrollback.size()) - m_scrollOffset + viewportRow;
}

TermSurface::Cell TermSurface::cellAt(int row, int column) const
{
    Cell cell = {};
    const long absolute = absoluteRow(row);
    if (absolute < long(m_scrollback.size())) {
        const auto &line = m_scrollback[size_t(absolute)];
        if (column < int(line.size())) {
            const VTermScreenCell &source = line[size_t(column)];
            std::copy(std::begin(source.chars), std::end(source.chars), cell.chars);
            cell.width = source.width;
            cell.attrs = source.attrs;
            cell.fg = source.fg;
            cell.bg = source.bg;
        } else {
            cell.width = 1;
            vterm_state_get_default_colors(vterm_obtain_state(m_vt), &cell.fg, &cell.bg);
            cell.fg.type |= VTERM_COLOR_DEFAULT_FG;
            cell.bg.type |= VTERM_COLOR_DEFAULT_BG;
        }
        return cell;
    }
    VTermScreenCell source;
    vterm_screen_get_cell(m_screen, VTermPos {int(absolute - long(m_scrollback.size())), column}, &source);
    std::copy(std::begin(source.chars), std::end(source.chars), cell.chars);
    cell.width = source.width;
    cell.attrs = source.attrs;
    cell.fg = source.fg;
    cell.bg = source.bg;
    return cell;
}

bool TermSurface::cursor(int &row, int &column) const
{
    if (!m_cursorVisible || m_scrollOffset)
        return false;
    row = m_cursor.row;
    column = m_cursor.col;
    return true;
}

const QFont &TermSurface::font() const
{
    return terminalFont();
}

QColor TermSurface::rgb(VTermColor color) const
{
    vterm_screen_convert_color_to_rgb(m_screen, &color);
    return QColor(color.rgb.red, color.rgb.green, color.rgb.blue);
}

std::string TermSurface::lineText(long absolute) const
{
    std::string out;
    if (absolute < 0)
        return out;
    if (absolute < long(m_scrollback.size())) {
        for (const VTermScreenCell &cell : m_scrollback[size_t(absolute)]) {
            if (cell.chars[0] == uint32_t(-1))
                continue;
            if (!cell.chars[0])
                out += ' ';
            for (int i = 0; i < VTERM_MAX_CHARS_PER_CELL && cell.chars[i]; ++i)
                appendUtf8(out, cell.chars[i]);
        }
    } else {
        const int row = int(absolute - long(m_scrollback.size()));
        if (row >= m_rows)
            return out;
        std::vector<char> buffer(size_t(m_columns) * 4 * VTERM_MAX_CHARS_PER_CELL + 1);
        const size_t length
            = vterm_screen_get_text(m_screen, buffer.data(), buffer.size(), VTermRect {row, row + 1, 0, m_columns});
        out.assign(buffer.data(), length);
    }
    trimRight(out);
    return out;
}

bool TermSurface::readText(tessaron_term_text *text) const
{
    if (!text)
        return false;
    std::string all;
    for (int row = 0; row < m_rows; ++row) {
        if (row)
            all += '\n';
        all += lineText(absoluteRow(row));
    }
    char *copy = static_cast<char *>(malloc(all.size() + 1));
    if (!copy)
        return false;
    memcpy(copy, all.data(), all.size() + 1);
    text->text = copy;
    text->text_len = all.size();
    text->reserved = nullptr;
    return true;
}

bool TermSurface::isSelected(int row, int column) const
{
    if (!m_hasSelection)
        return false;
    long startRow = m_selectionAnchorRow, endRow = m_selectionEndRow;
    int startColumn = m_selectionAnchorColumn, endColumn = m_selectionEndColumn;
    if (std::tie(endRow, endColumn) < std::tie(startRow, startColumn)) {
        std::swap(startRow, endRow);
        std::swap(startColumn, endColumn);
    }
    const long absolute = absoluteRow(row);
    return std::tie(startRow, startColumn) <= std::tie(absolute, column)
        && std::tie(absolute, column) <= std::tie(endRow, endColumn);
}

void TermSurface::beginSelection(int row, int column)
{
    m_selectionAnchorRow = m_selectionEndRow = absoluteRow(row);
    m_selectionAnchorColumn = m_selectionEndColumn = column;
    m_hasSelection = false;
    m_dirty = true;
    repaint();
}

void TermSurface::extendSelection(int row, int column)
{
    m_selectionEndRow = absoluteRow(row);
    m_selectionEndColumn = column;
    m_hasSelection = true;
    m_dirty = true;
    repaint();
}

void TermSurface::clearSelection()
{
    m_hasSelection = false;
    m_dirty = true;
    repaint();
}

std::string TermSurface::selectionText() const
{
    if (!m_hasSelection)
        return {};
    long startRow = m_selectionAnchorRow, endRow = m_selectionEndRow;
    int startColumn = m_selectionAnchorColumn, endColumn = m_selectionEndColumn;
    if (std::tie(endRow, endColumn) < std::tie(startRow, startColumn)) {
        std::swap(startRow, endRow);
        std::swap(startColumn, endColumn);
    }
    std::string out;
    for (long row = startRow; row <= endRow; ++row) {
        // Cut by characters of the line's text (wide cells are rare in selections).
        const QString line = QString::fromStdString(lineText(row));
        const int from = row == startRow ? startColumn : 0;
        const int to = row == endRow ? endColumn + 1 : int(line.size());
        if (row != startRow)
            out += '\n';
        out += line.mid(from, std::max(0, to - from)).toStdString();
    }
    return out;
}

int TermSurface::onDamage(VTermRect, void *user)
{
    static_cast<TermSurface *>(user)->m_dirty = true;
    return 1;
}

int TermSurface::onMoveCursor(VTermPos pos, VTermPos, int visible, void *user)
{
    auto *self = static_cast<TermSurface *>(user);
    self->m_cursor = pos;
    self->m_cursorVisible = visible;
    self->m_dirty = true;
    return 1;
}

int TermSurface::onTermProp(VTermProp prop, VTermValue *value, void *user)
{
    auto *self = static_cast<TermSurface *>(user);
    if (prop == VTERM_PROP_CURSORVISIBLE) {
        self->m_cursorVisible = value->boolean;
        self->m_dirty = true;
    } else if (prop == VTERM_PROP_TITLE) {
        self->m_titles.emplace_back(value->string ? value->string : "");
        tessaron_term_action action = {};
        action.tag = TESSARON_TERM_ACTION_SET_TITLE;
        self->m_actions.push_back(action);
    }
    return 1;
}

int TermSurface::onBell(void *user)
{
    tessaron_term_action action = {};
    action.tag = TESSARON_TERM_ACTION_RING_BELL;
    static_cast<TermSurface *>(user)->m_actions.push_back(action);
    return 1;
}

int TermSurface::onPushLine(int columns, const VTermScreenCell *cells, void *user)
{
    auto *self = static_cast<TermSurface *>(user);
    self->m_scrollback.emplace_back(cells, cells + columns);
    if (self->m_scrollback.size() > kScrollbackLines)
        self->m_scrollback.pop_front();
    else if (self->m_scrollOffset)
        ++self->m_scrollOffset; // keep the lines the user looks at in place
    return 1;
}

int TermSurface::onPopLine(int columns, VTermScreenCell *cells, void *user)
{
    auto *self = static_cast<TermSurface *>(user);
    if (self->m_scrollback.empty())
        return 0;
    const auto &line = self->m_scrollback.back();
    VTermScreenCell blank = {};
    blank.width = 1;
    vterm_state_get_default_colors(vterm_obtain_state(self->m_vt), &blank.fg, &blank.bg);
    blank.fg.type |= VTERM_COLOR_DEFAULT_FG;
    blank.bg.type |= VTERM_COLOR_DEFAULT_BG;
    for (int i = 0; i < columns; ++i)
        cells[i] = i < int(line.size()) ? line[size_t(i)] : blank;
    self->m_scrollback.pop_back();
    self->m_scrollOffset = std::min<long>(self->m_scrollOffset, long(self->m_scrollback.size()));
    return 1;
}

int TermSurface::onOsc(const char *command, size_t length, void *user)
{
    auto *self = static_cast<TermSurface *>(user);
    const std::string text(command, length);
    if (text == "133;D" || text.rfind("133;D;", 0) == 0) {
        // The shell's mark of a finished command, with its status when given.
        tessaron_term_action action = {};
        action.tag = TESSARON_TERM_ACTION_COMMAND_FINISHED;
        action.payload.command_exit_code = -1;
        if (text.size() > 6) {
            const std::string code = text.substr(6, text.find(';', 6) - 6);
            char *end = nullptr;
            const long value = strtol(code.c_str(), &end, 10);
            if (end && end != code.c_str() && *end == '\0' && value >= 0)
                action.payload.command_exit_code = int16_t(std::min<long>(value, INT16_MAX));
        }
        self->m_actions.push_back(action);
        return 1;
    }
    if (text.rfind("52;", 0) == 0) {
        const size_t split = text.find(';', 3);
        if (split == std::string::npos)
            return 1;
        const std::string targets = text.substr(3, split - 3);
        const char target = targets.empty() ? 'c' : targets[0];
        const std::string data = text.substr(split + 1);
        if (data == "?")
            self->m_deferredClipboard.push_back({true, target, {}});
        else
            self->m_deferredClipboard.push_back({false, target, base64Decode(data)});
        return 1;
    }
    return 0;
}

void TermSurface::onOutput(const char *bytes, size_t length, void *user)
{
    static_cast<TermSurface *>(user)->queueToChild(bytes, length);
}

void TermApp::tick()
{
    const auto current = surfaces;
    for (TermSurface *surface : current)
        surface->tick();
}

} // namespace termlib
