/*
 * The record layouts and function signatures shared by the terminal bridge,
 * our terminal library (libtessaron-term.so) and the test fake.
 *
 * The library exports the 22 ghostty_* functions by name. Their names alone
 * say nothing about how a library lays out the records below, so every
 * library built against this header also exports the marker
 * TESSARON_TERM_ABI_SYMBOL holding TESSARON_TERM_ABI_VERSION; the bridge opens
 * no library without it. Any change to a record below bumps the version.
 */
#pragma once

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TESSARON_TERM_ABI_SYMBOL "tessaron_term_abi_version"
#define TESSARON_TERM_ABI_VERSION 1u

typedef void *tessaron_term_config_t;
typedef void *tessaron_term_app_t;
typedef void *tessaron_term_surface_t;

/* Platform tag of the surface configuration: the platform view is a QWidget *. */
#define TESSARON_TERM_PLATFORM_QT_WIDGET 1

/* Key modifier bits (key records) */
#define TESSARON_TERM_MOD_SHIFT 0x01
#define TESSARON_TERM_MOD_CTRL 0x02
#define TESSARON_TERM_MOD_ALT 0x04
#define TESSARON_TERM_MOD_SUPER 0x08
#define TESSARON_TERM_MOD_CAPS 0x10
#define TESSARON_TERM_MOD_NUMPAD 0x20

/* Key actions */
#define TESSARON_TERM_KEY_PRESS 1
#define TESSARON_TERM_KEY_REPEAT 2

/* Scroll modifiers: bit 0 precise deltas, bits 1..3 the momentum phase. */
#define TESSARON_TERM_SCROLL_PRECISE 0x01

/* Clipboard kinds handed to the read and write callbacks. */
#define TESSARON_TERM_CLIPBOARD_STANDARD 0
#define TESSARON_TERM_CLIPBOARD_SELECTION 1

/* Kinds of the confirm callback: a user paste the library found unsafe, or a
 * program's clipboard query (OSC 52 read). */
#define TESSARON_TERM_CLIPBOARD_REQUEST_PASTE 0
#define TESSARON_TERM_CLIPBOARD_REQUEST_OSC52_READ 1

/* Action tags */
#define TESSARON_TERM_ACTION_RING_BELL 32
#define TESSARON_TERM_ACTION_SET_TITLE 33
#define TESSARON_TERM_ACTION_CHILD_EXITED 54 /* payload: uint32_t exit code */
#define TESSARON_TERM_ACTION_OUTPUT_NOTICE 55
#define TESSARON_TERM_ACTION_COMMAND_FINISHED 57 /* payload: int16_t exit code, -1 none */

/* Point tags and coordinate kinds of a selection */
#define TESSARON_TERM_POINT_VIEWPORT 1
#define TESSARON_TERM_POINT_TOP_LEFT 1
#define TESSARON_TERM_POINT_BOTTOM_RIGHT 2

typedef struct
{
    int32_t action;
    int32_t mods;
    int32_t consumed_mods;
    uint32_t keycode;
    const char *text;
    uint32_t unshifted_codepoint;
    bool composing;
} tessaron_term_key;

typedef struct
{
    int32_t tag;
    int32_t coordinate;
    uint32_t x;
    uint32_t y;
} tessaron_term_point;

typedef struct
{
    tessaron_term_point top_left;
    tessaron_term_point bottom_right;
    bool rectangle;
} tessaron_term_selection;

typedef struct
{
    const char *text;
    size_t text_len;
    void *reserved;
} tessaron_term_text;

typedef struct
{
    int32_t tag;
    union {
        uint32_t child_exit_code;
        int16_t command_exit_code;
        const char *title;
        uint64_t reserved[3];
    } payload;
} tessaron_term_action;

typedef struct
{
    uint32_t tag;
    void *surface;
} tessaron_term_target;

typedef struct
{
    const char *key;
    const char *value;
} tessaron_term_env_var;

typedef void (*tessaron_term_wakeup_cb)(void *userdata);
typedef bool (*tessaron_term_action_cb)(
    tessaron_term_app_t app, tessaron_term_target target, const tessaron_term_action *action);
typedef void (*tessaron_term_read_clipboard_cb)(void *userdata, int32_t clipboard_kind, void *request_state);
typedef void (*tessaron_term_confirm_read_clipboard_cb)(
    void *userdata, const char *text, void *request_state, int32_t request_kind);
typedef void (*tessaron_term_write_clipboard_cb)(
    void *userdata, int32_t clipboard_kind, const char *bytes, size_t count);
typedef void (*tessaron_term_close_surface_cb)(void *userdata, bool process_alive);

typedef struct
{
    void *userdata;
    bool supports_selection_clipboard;
    tessaron_term_wakeup_cb wakeup_cb;
    tessaron_term_action_cb action_cb;
    tessaron_term_read_clipboard_cb read_clipboard_cb;
    tessaron_term_confirm_read_clipboard_cb confirm_read_clipboard_cb;
    tessaron_term_write_clipboard_cb write_clipboard_cb;
    tessaron_term_close_surface_cb close_surface_cb;
} tessaron_term_runtime_config;

typedef struct
{
    int32_t platform_tag;
    void *platform_view;
    void *userdata;
    double scale_factor;
    float font_size;
    const char *working_directory;
    const char *command;
    tessaron_term_env_var *env_vars;
    size_t env_var_count;
    const char *initial_input;
    bool wait_after_command;
    int32_t context;
} tessaron_term_surface_config;

/* The 22 functions, in the order the bridge resolves them. */
int ghostty_init(uintptr_t argc, char **argv);
tessaron_term_config_t ghostty_config_new(void);
void ghostty_config_free(tessaron_term_config_t config);
void ghostty_config_load_default_files(tessaron_term_config_t config);
void ghostty_config_load_file(tessaron_term_config_t config, const char *path);
void ghostty_config_finalize(tessaron_term_config_t config);
tessaron_term_app_t ghostty_app_new(const tessaron_term_runtime_config *runtime, tessaron_term_config_t config);
void ghostty_app_free(tessaron_term_app_t app);
void ghostty_app_tick(tessaron_term_app_t app);
void *ghostty_app_userdata(tessaron_term_app_t app);
tessaron_term_surface_config ghostty_surface_config_new(void);
tessaron_term_surface_t ghostty_surface_new(tessaron_term_app_t app, const tessaron_term_surface_config *config);
void ghostty_surface_free(tessaron_term_surface_t surface);
void ghostty_surface_set_size(tessaron_term_surface_t surface, uint32_t width, uint32_t height);
void ghostty_surface_set_content_scale(tessaron_term_surface_t surface, double x, double y);
void ghostty_surface_set_focus(tessaron_term_surface_t surface, bool focused);
bool ghostty_surface_key(tessaron_term_surface_t surface, tessaron_term_key key);
void ghostty_surface_text(tessaron_term_surface_t surface, const char *text, uintptr_t length);
void ghostty_surface_mouse_scroll(tessaron_term_surface_t surface, double dx, double dy, int32_t scroll_mods);
void ghostty_surface_complete_clipboard_request(
    tessaron_term_surface_t surface, const char *text, void *request_state, bool confirmed);
bool ghostty_surface_read_text(
    tessaron_term_surface_t surface, tessaron_term_selection selection, tessaron_term_text *text);
void ghostty_surface_free_text(tessaron_term_surface_t surface, tessaron_term_text *text);

#ifdef __cplusplus
}
#endif
