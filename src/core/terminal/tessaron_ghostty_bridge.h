/*
 * The terminal bridge: opens the terminal library at run time, turns one
 * hosting widget into one terminal session and forwards input to it. The
 * rest of the program reaches the library only through these entry points.
 * Every entry point is called on the GUI thread; the host's functions are
 * called only there too.
 */
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What the bridge needs of the hosting view. Copied at session creation. */
typedef struct tessaron_ghostty_host
{
    /* The hosting widget (a QWidget *) handed to the library as its platform view. */
    void *view;
    /* Passed back to every function below. */
    void *context;
    /* The terminal's visible output changed or the library reported activity. */
    void (*did_receive_output_activity)(void *context);
    /* A command finished, with its exit code when the library gave one. */
    void (*did_finish_command)(void *context, bool has_exit_code, int64_t exit_code);
    /* The standard clipboard's plain text as a malloc'd UTF-8 string, or NULL. */
    char *(*read_clipboard_text)(void *context);
    /* Replaces the standard clipboard's plain text. */
    void (*write_clipboard_text)(void *context, const char *utf8);
    /* Whether the terminal's program may read the clipboard; NULL denies. */
    bool (*allow_program_clipboard_read)(void *context);
} tessaron_ghostty_host;

typedef struct tessaron_ghostty_session tessaron_ghostty_session;

typedef struct tessaron_ghostty_session_options
{
    const char *working_directory;
    const char *command;
    const char *const *env_keys;
    const char *const *env_values;
    size_t env_count;
    double scale_factor;
} tessaron_ghostty_session_options;

/* The file name of our own library, the last entry of the search list. */
#define TESSARON_TERM_LIBRARY_FILE_NAME "libtessaron-term.so"
/* The keybind file's name. */
#define TESSARON_GHOSTTY_KEYBIND_FILE_NAME "tessaron-ghostty-keybinds.config"

bool tessaron_ghostty_is_available(const char *library_path, char *error, size_t error_size);

tessaron_ghostty_session *tessaron_ghostty_session_create(const tessaron_ghostty_host *host,
    const tessaron_ghostty_session_options *options, const char *library_path, char *error, size_t error_size);
void tessaron_ghostty_session_destroy(tessaron_ghostty_session *session);

void tessaron_ghostty_session_set_size(tessaron_ghostty_session *session, uint32_t width, uint32_t height);
void tessaron_ghostty_session_set_content_scale(tessaron_ghostty_session *session, double scale);
void tessaron_ghostty_session_set_focus(tessaron_ghostty_session *session, bool focused);
void tessaron_ghostty_session_send_text(tessaron_ghostty_session *session, const char *text);
bool tessaron_ghostty_session_send_key(tessaron_ghostty_session *session, uint32_t keycode, const char *text,
    int32_t mods, bool is_repeat, uint32_t unshifted_codepoint, bool composing);
void tessaron_ghostty_session_send_mouse_scroll(
    tessaron_ghostty_session *session, double dx, double dy, int32_t scroll_mods);

/* The visible text of the terminal as a malloc'd UTF-8 string (rows joined by
 * line feeds), or NULL when it cannot be read. */
char *tessaron_ghostty_session_copy_visible_text(tessaron_ghostty_session *session);

/*
 * The keybind file's directory: TMPDIR when set and not empty, else
 * XDG_RUNTIME_DIR, else the application's data folder. Writes the NUL-
 * terminated path of the file into `path`; false when there is none or it
 * does not fit.
 */
bool tessaron_ghostty_keybind_file_path(char *path, size_t size);

/* Main-thread hand-over, implemented over the Qt event loop. */
void tessaron_ghostty_main_async(void (*work)(void *), void *argument);
void tessaron_ghostty_main_sync(void (*work)(void *), void *argument);
bool tessaron_ghostty_on_main_thread(void);
/* Runs `work` on the main thread after a pause of `delay_us` microseconds, so
 * the events that arrived meanwhile (input, timers, painting) go first. */
void tessaron_ghostty_main_after(unsigned delay_us, void (*work)(void *), void *argument);

#ifdef __cplusplus
}
#endif
