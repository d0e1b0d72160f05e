// One terminal: a child program on a pseudo-terminal, its screen kept by
// libvterm and painted into the hosting widget.
#pragma once

#include "KeyEncoder.h"
#include "tessaron_term_abi.h"

#include <QPointer>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>
#include <vterm.h>

class QWidget;

namespace termlib {

class TermApp;
class TermView;

class TermSurface
{
public:
    TermSurface(TermApp *app, const tessaron_term_surface_config &config);
    ~TermSurface();
    TermSurface(const TermSurface &) = delete;
    TermSurface &operator=(const TermSurface &) = delete;

    TermApp *app() const { return m_app; }

    // Starts the child program; false when the pseudo-terminal or the fork failed.
    bool start();

    // Feeds one bounded slice of the program's output to the screen and sends
    // what came of it (painting, actions); asks for another tick when more waits.
    void tick();

    void setSize(uint32_t width, uint32_t height);
    void setContentScale(double x, double y);
    void setFocus(bool focused);
    bool key(const tessaron_term_key &key);
    void text(const char *bytes, size_t length);
    void scroll(double dx, double dy, int32_t mods);
    void completeClipboardRequest(const char *text, void *state, bool confirmed);
    bool readText(tessaron_term_text *text) const;

    // For the view.
    struct Cell
    {
        uint32_t chars[VTERM_MAX_CHARS_PER_CELL];
        int width;
        VTermScreenCellAttrs attrs;
        VTermColor fg, bg;
    };
    int rows() const { return m_rows; }
    int columns() const { return m_columns; }
    Cell cellAt(int row, int column) const; // viewport coordinates, scrollback included
    bool cursor(int &row, int &column) const; // false when hidden or scrolled away
    bool focused() const { return m_focused; }
    bool isSelected(int row, int column) const;
    void beginSelection(int row, int column);
    void extendSelection(int row, int column);
    void clearSelection();
    double cellWidth() const { return m_cellWidth; }
    double cellHeight() const { return m_cellHeight; }
    const QFont &font() const;
    QColor rgb(VTermColor color) const;

    // Scrollback lines kept above the screen.
    static constexpr size_t kScrollbackLines = 10000;
    // Bytes of output fed to the screen in one tick.
    static constexpr size_t kTickSlice = 64 * 1024;
    // Output is fed in pieces of this size until the tick's time is used up:
    // libvterm moves the whole screen for every scrolled line, so pieces stay small.
    static constexpr size_t kFeedPiece = 512;
    static constexpr std::chrono::microseconds kTickBudget {5000};
    // Bytes of unread output held before the reader waits for the ticks.
    static constexpr size_t kPendingCap = 4 * 1024 * 1024;

private:
    struct ClipboardRequest
    {
        enum Phase { Paste, ProgramRead, ProgramConfirm } phase;
        char target;
    };
    struct DeferredClipboard
    {
        bool read;
        char target;
        std::string bytes;
    };

    void readerLoop();
    void requestWakeup();
    void flushToChild();
    void queueToChild(const char *bytes, size_t length);
    void sendAction(const tessaron_term_action &action);
    void resizeGrid();
    void repaint();
    void pasteText(const std::string &text);
    std::string selectionText() const;
    std::string lineText(long absoluteRow) const;
    long absoluteRow(int viewportRow) const;

    static int onDamage(VTermRect rect, void *user);
    static int onMoveCursor(VTermPos pos, VTermPos old, int visible, void *user);
    static int onTermProp(VTermProp prop, VTermValue *value, void *user);
    static int onBell(void *user);
    static int onPushLine(int columns, const VTermScreenCell *cells, void *user);
    static int onPopLine(int columns, VTermScreenCell *cells, void *user);
    static int onOsc(const char *command, size_t length, void *user);
    static void onOutput(const char *bytes, size_t length, void *user);

    TermApp *m_app;
    tessaron_term_surface_config m_config;
    std::string m_workingDirectory, m_command;
    std::vector<std::pair<std::string, std::string>> m_environment;

    VTerm *m_vt = nullptr;
    VTermScreen *m_screen = nullptr;
    int m_rows = 24, m_columns = 80;
    std::deque<std::vector<VTermScreenCell>> m_scrollback;
    long m_scrollOffset = 0; // lines scrolled back
    double m_scrollRemainder = 0;
    VTermPos m_cursor {0, 0};
    bool m_cursorVisible = true;
    bool m_focused = false;
    bool m_dirty = false;
    std::vector<tessaron_term_action> m_actions;
    std::vector<std::string> m_titles;
    std::vector<DeferredClipboard> m_deferredClipboard;
    std::set<ClipboardRequest *> m_requests;
    bool m_hasSelection = false;
    long m_selectionAnchorRow = 0, m_selectionEndRow = 0;
    int m_selectionAnchorColumn = 0, m_selectionEndColumn = 0;

    uint32_t m_pixelWidth = 0, m_pixelHeight = 0;
    double m_scale = 1.0;
    double m_cellWidth = 8, m_cellHeight = 16;
    QPointer<TermView> m_view;

    int m_master = -1;
    pid_t m_child = -1;
    int m_wakePipe[2] = {-1, -1};
    std::thread m_reader;
    std::string m_toChild;
    std::string m_carry; // taken from the reader but not yet fed

    // Shared with the reader thread.
    std::mutex m_mutex;
    std::condition_variable m_spaceFreed;
    std::deque<std::string> m_pending;
    size_t m_pendingBytes = 0;
    size_t m_pendingFrontOffset = 0;
    bool m_wakeupRequested = false;
    bool m_stopping = false;
    bool m_childExited = false;
    int m_exitCode = 0;
    std::atomic<bool> m_wantWrite {false};
    bool m_exitReported = false;
};

} // namespace termlib
