/* The terminal bridge (see tessaron_ghostty_bridge.h). */
#define _GNU_SOURCE
#include "tessaron_ghostty_bridge.h"
#include "tessaron_term_abi.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* ---- the resolved library functions ---- */

typedef struct tessaron_ghostty_api
{
    int (*init)(uintptr_t, char **);
    tessaron_term_config_t (*config_new)(void);
    void (*config_free)(tessaron_term_config_t);
    void (*config_load_default_files)(tessaron_term_config_t);
    void (*config_load_file)(tessaron_term_config_t, const char *);
    void (*config_finalize)(tessaron_term_config_t);
    tessaron_term_app_t (*app_new)(const tessaron_term_runtime_config *, tessaron_term_config_t);
    void (*app_free)(tessaron_term_app_t);
    void (*app_tick)(tessaron_term_app_t);
    void *(*app_userdata)(tessaron_term_app_t);
    tessaron_term_surface_config (*surface_config_new)(void);
    tessaron_term_surface_t (*surface_new)(tessaron_term_app_t, const tessaron_term_surface_config *);
    void (*surface_free)(tessaron_term_surface_t);
    void (*surface_set_size)(tessaron_term_surface_t, uint32_t, uint32_t);
    void (*surface_set_content_scale)(tessaron_term_surface_t, double, double);
    void (*surface_set_focus)(tessaron_term_surface_t, bool);
    bool (*surface_key)(tessaron_term_surface_t, tessaron_term_key);
    void (*surface_text)(tessaron_term_surface_t, const char *, uintptr_t);
    void (*surface_mouse_scroll)(tessaron_term_surface_t, double, double, int32_t);
    void (*surface_complete_clipboard_request)(tessaron_term_surface_t, const char *, void *, bool);
    bool (*surface_read_text)(tessaron_term_surface_t, tessaron_term_selection, tessaron_term_text *);
    void (*surface_free_text)(tessaron_term_surface_t, tessaron_term_text *);
} tessaron_ghostty_api;

/* In the order of the table above. */
static const char *const k_function_names[] = {
    "ghostty_init",
    "ghostty_config_new",
    "ghostty_config_free",
    "ghostty_config_load_default_files",
    "ghostty_config_load_file",
    "ghostty_config_finalize",
    "ghostty_app_new",
    "ghostty_app_free",
    "ghostty_app_tick",
    "ghostty_app_userdata",
    "ghostty_surface_config_new",
    "ghostty_surface_new",
    "ghostty_surface_free",
    "ghostty_surface_set_size",
    "ghostty_surface_set_content_scale",
    "ghostty_surface_set_focus",
    "ghostty_surface_key",
    "ghostty_surface_text",
    "ghostty_surface_mouse_scroll",
    "ghostty_surface_complete_clipboard_request",
    "ghostty_surface_read_text",
    "ghostty_surface_free_text",
};
#define FUNCTION_COUNT (sizeof(k_function_names) / sizeof(k_function_names[0]))
_Static_assert(FUNCTION_COUNT == 22, "the bridge resolves 22 functions");
_Static_assert(sizeof(tessaron_ghostty_api) == FUNCTION_COUNT * sizeof(void *), "one pointer per function");
_Static_assert(offsetof(tessaron_term_action, payload) == 8, "the action payload starts 8 bytes in");

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static void *g_library_handle;
static tessaron_ghostty_api g_api;
static bool g_api_ready;
static bool g_runtime_initialized;

/* ---- sessions ---- */

struct tessaron_ghostty_session
{
    const tessaron_ghostty_api *api;
    tessaron_term_config_t config;
    tessaron_term_app_t app;
    tessaron_term_surface_t surface;
    tessaron_ghostty_host host; /* the view; cleared on destroy */
    bool has_view;
    bool has_render_hash;
    uint64_t last_render_hash;
    uint64_t serial; /* tells this session from a later one at the same address */
};

/*
 * The live sessions, touched only on the GUI thread. Work queued for a
 * session (a tick, an action) finds it here or does nothing, so a wakeup that
 * arrives shortly before a session is destroyed stays harmless.
 */
typedef struct
{
    tessaron_ghostty_session *session;
    uint64_t serial;
} live_entry;
static live_entry *g_live;
static size_t g_live_count;
static size_t g_live_capacity;
static uint64_t g_next_serial = 1;

static bool live_add(tessaron_ghostty_session *session)
{
    if (g_live_count == g_live_capacity) {
        size_t capacity = g_live_capacity ? g_live_capacity * 2 : 8;
        live_entry *grown = realloc(g_live, capacity * sizeof(live_entry));
        if (!grown)
            return false;
        g_live = grown;
        g_live_capacity = capacity;
    }
    g_live[g_live_count].session = session;
    g_live[g_live_count].serial = session->serial;
    ++g_live_count;
    return true;
}

static void live_remove(tessaron_ghostty_session *session)
{
    for (size_t i = 0; i < g_live_count; ++i) {
        if (g_live[i].session == session) {
            g_live[i] = g_live[--g_live_count];
            return;
        }
    }
}

static tessaron_ghostty_session *live_find(tessaron_ghostty_session *session, uint64_t serial)
{
    for (size_t i = 0; i < g_live_count; ++i) {
        if (g_live[i].session == session && g_live[i].serial == serial)
            return session;
    }
    return NULL;
}

/* ---- errors ---- */

static void tessaron_set_error(char *error, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));
static void tessaron_set_error(char *error, size_t size, const char *format, ...)
{
    if (!error || size == 0)
        return;
    va_list args;
    va_start(args, format);
    vsnprintf(error, size, format, args);
    va_end(args);
}

static void clear_error(char *error, size_t size)
{
    if (error && size > 0)
        error[0] = '\0';
}

/* ---- loading ---- */

static bool folder_of(const char *path, char *folder, size_t size)
{
    const char *slash = strrchr(path, '/');
    if (!slash)
        return false;
    size_t length = (size_t)(slash - path);
    if (length == 0)
        length = 1; /* the root */
    if (length >= size)
        return false;
    memcpy(folder, path, length);
    folder[length] = '\0';
    return true;
}

static bool executable_folder(char *folder, size_t size)
{
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0)
        return false;
    path[length] = '\0';
    return folder_of(path, folder, size);
}

static bool loader_folder(char *folder, size_t size)
{
    Dl_info info;
    if (!dladdr((void *)&tessaron_ghostty_is_available, &info) || !info.dli_fname || !info.dli_fname[0])
        return false;
    char resolved[PATH_MAX];
    if (!realpath(info.dli_fname, resolved))
        return false;
    return folder_of(resolved, folder, size);
}

/* Expands "@executable_path" and "@loader_path" at the start of a location. */
static bool expand_location(const char *location, char *out, size_t size)
{
    static const char k_executable[] = "@executable_path";
    static const char k_loader[] = "@loader_path";
    char folder[PATH_MAX];
    const char *rest = location;
    if (strncmp(location, k_executable, sizeof(k_executable) - 1) == 0) {
        if (!executable_folder(folder, sizeof(folder)))
            return false;
        rest = location + sizeof(k_executable) - 1;
    } else if (strncmp(location, k_loader, sizeof(k_loader) - 1) == 0) {
        if (!loader_folder(folder, sizeof(folder)))
            return false;
        rest = location + sizeof(k_loader) - 1;
    } else {
        folder[0] = '\0';
    }
    int written = snprintf(out, size, "%s%s", folder, rest);
    return written > 0 && (size_t)written < size;
}

static void *open_library(const char *path)
{
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

static void *open_first(const char *const *locations, size_t count)
{
    char path[PATH_MAX];
    for (size_t i = 0; i < count; ++i) {
        if (!expand_location(locations[i], path, sizeof(path)))
            continue;
        void *handle = open_library(path);
        if (handle)
            return handle;
    }
    return NULL;
}

static const char *const k_search_list[] = {
    "@executable_path/../Frameworks/libghostty.so",
    "@loader_path/../Frameworks/libghostty.so",
    "@executable_path/libghostty.so",
    "@executable_path/../Resources/libghostty.so",
    "libghostty.so",
    "@executable_path/" TESSARON_TERM_LIBRARY_FILE_NAME,
};

static const char *const k_system_list[] = {
    "/Applications/Ghostty.app/Contents/Frameworks/libghostty.so",
    "/Applications/Ghostty.app/Contents/MacOS/libghostty.so",
    "/opt/homebrew/lib/libghostty.so",
    "/usr/local/lib/libghostty.so",
};

#define NOT_FOUND_MESSAGE "libghostty.so not found. Set TESSARON_LIBGHOSTTY_PATH to a valid path."

static bool tessaron_acquire_api(const char *library_path, char *error, size_t error_size)
{
    pthread_mutex_lock(&g_lock);
    if (g_api_ready) {
        pthread_mutex_unlock(&g_lock);
        return true;
    }

    void *handle = NULL;
    if (library_path && library_path[0]) {
        handle = open_library(library_path);
        if (!handle) {
            const char *reason = dlerror();
            tessaron_set_error(
                error, error_size, "Failed to load libghostty at %s (%s)", library_path, reason ? reason : "unknown");
            pthread_mutex_unlock(&g_lock);
            return false;
        }
    } else {
        handle = open_first(k_search_list, sizeof(k_search_list) / sizeof(k_search_list[0]));
        if (!handle) {
            const char *allow = getenv("TESSARON_GHOSTTY_ALLOW_SYSTEM_PATHS");
            if (allow && strcmp(allow, "1") == 0)
                handle = open_first(k_system_list, sizeof(k_system_list) / sizeof(k_system_list[0]));
        }
        if (!handle) {
            tessaron_set_error(error, error_size, "%s", NOT_FOUND_MESSAGE);
            pthread_mutex_unlock(&g_lock);
            return false;
        }
    }

    void *resolved[FUNCTION_COUNT];
    for (size_t i = 0; i < FUNCTION_COUNT; ++i) {
        resolved[i] = dlsym(handle, k_function_names[i]);
        if (!resolved[i]) {
            tessaron_set_error(error, error_size, "Missing libghostty symbol: %s", k_function_names[i]);
            dlclose(handle);
            pthread_mutex_unlock(&g_lock);
            return false;
        }
    }
    /* A library of the same names built without our record layouts is refused:
     * calling it with our records could crash the program. */
    const uint32_t *marker = dlsym(handle, TESSARON_TERM_ABI_SYMBOL);
    if (!marker || *marker != TESSARON_TERM_ABI_VERSION) {
        tessaron_set_error(error, error_size, "Missing libghostty symbol: %s", TESSARON_TERM_ABI_SYMBOL);
        dlclose(handle);
        pthread_mutex_unlock(&g_lock);
        return false;
    }

    memcpy(&g_api, resolved, sizeof(g_api));
    g_library_handle = handle;
    g_api_ready = true;
    pthread_mutex_unlock(&g_lock);
    return true;
}

bool tessaron_ghostty_is_available(const char *library_path, char *error, size_t error_size)
{
    clear_error(error, error_size);
    return tessaron_acquire_api(library_path, error, error_size);
}

/* ---- the keybind file ---- */

static const char k_keybinds[] = "# Tessaron embedded Ghostty keybind overrides.\n"
                                 "keybind = ctrl+a=text:\\x01\n"
                                 "keybind = ctrl+e=text:\\x05\n"
                                 "keybind = ctrl+u=text:\\x15\n"
                                 "keybind = ctrl+k=text:\\x0b\n"
                                 "keybind = ctrl+w=text:\\x17\n"
                                 "keybind = ctrl+c=text:\\x03\n"
                                 "keybind = ctrl+r=text:\\x12\n"
                                 "keybind = ctrl+d=text:\\x04\n"
                                 "keybind = ctrl+l=text:\\x0c\n";
_Static_assert(sizeof(k_keybinds) - 1 == 290, "the keybind file holds 290 bytes");

static const char *non_empty_env(const char *name)
{
    const char *value = getenv(name);
    return value && value[0] ? value : NULL;
}

bool tessaron_ghostty_keybind_file_path(char *path, size_t size)
{
    if (!path || size == 0)
        return false;
    char folder[1024];
    const char *directory = non_empty_env("TMPDIR");
    if (!directory)
        directory = non_empty_env("XDG_RUNTIME_DIR");
    if (!directory) {
        /* The application's data folder. */
        const char *data_home = non_empty_env("XDG_DATA_HOME");
        int written;
        if (data_home && data_home[0] == '/') {
            written = snprintf(folder, sizeof(folder), "%s/com.tessaron.app", data_home);
        } else {
            const char *home = non_empty_env("HOME");
            if (!home)
                return false;
            written = snprintf(folder, sizeof(folder), "%s/.local/share/com.tessaron.app", home);
        }
        if (written <= 0 || (size_t)written >= sizeof(folder))
            return false;
        mkdir(folder, 0700); /* when missing; its parent is the user's */
        directory = folder;
    }
    size_t length = strlen(directory);
    const char *separator = (length > 0 && directory[length - 1] == '/') ? "" : "/";
    char buffer[1024];
    int written = snprintf(buffer, sizeof(buffer), "%s%s%s", directory, separator, TESSARON_GHOSTTY_KEYBIND_FILE_NAME);
    if (written <= 0 || (size_t)written >= sizeof(buffer) || (size_t)written >= size)
        return false;
    memcpy(path, buffer, (size_t)written + 1);
    return true;
}

/* Writes the keybind file; true only when all of it was written. The file is
 * never reached through a link and only rewritten when it is a regular file
 * of ours. */
static bool write_keybind_file(char *path, size_t size)
{
    if (!tessaron_ghostty_keybind_file_path(path, size))
        return false;
    int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0)
        return false;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid()) {
        close(fd);
        return false;
    }
    bool ok = fchmod(fd, 0600) == 0 && ftruncate(fd, 0) == 0;
    if (ok) {
        ssize_t written = write(fd, k_keybinds, sizeof(k_keybinds) - 1);
        ok = written == (ssize_t)(sizeof(k_keybinds) - 1);
    }
    if (close(fd) != 0)
        ok = false;
    return ok;
}

/* ---- the output check ---- */

static const tessaron_term_selection k_viewport = {
    {TESSARON_TERM_POINT_VIEWPORT, TESSARON_TERM_POINT_TOP_LEFT, 0, 0},
    {TESSARON_TERM_POINT_VIEWPORT, TESSARON_TERM_POINT_BOTTOM_RIGHT, 0, 0},
    false,
};

static void tessaron_report_output_if_render_changed(tessaron_ghostty_session *session)
{
    if (!session->api || !session->has_view)
        return;
    const tessaron_ghostty_host host = session->host;
    bool changed = true;
    tessaron_term_text text;
    memset(&text, 0, sizeof(text));
    if (session->surface && session->api->surface_read_text(session->surface, k_viewport, &text)) {
        uint64_t hash = 0x14650FB0739D0383ULL;
        if (text.text) {
            const unsigned char *bytes = (const unsigned char *)text.text;
            for (size_t i = 0; i < text.text_len; ++i)
                hash = (hash ^ bytes[i]) * 0x100000001B3ULL;
        }
        session->api->surface_free_text(session->surface, &text);
        if (!session->has_render_hash) {
            session->last_render_hash = hash;
            session->has_render_hash = true;
            changed = false;
        } else if (hash == session->last_render_hash) {
            changed = false;
        } else {
            session->last_render_hash = hash;
        }
    }
    if (changed && host.did_receive_output_activity)
        host.did_receive_output_activity(host.context);
}

/* ---- main-queue work ---- */

typedef struct
{
    tessaron_ghostty_session *session;
    uint64_t serial;
} session_ref;

/* The pause before every tick. */
#define TESSARON_TICK_PAUSE_US 1000u

static void tessaron_tick_on_main(void *argument)
{
    session_ref *ref = argument;
    tessaron_ghostty_session *session = live_find(ref->session, ref->serial);
    free(ref);
    if (!session || !session->app || !session->api)
        return;
    session->api->app_tick(session->app);
    /* The tick may have reached the host, which may have destroyed the session. */
    if (live_find(session, session->serial))
        tessaron_report_output_if_render_changed(session);
}

static void tessaron_wakeup_cb(void *userdata)
{
    tessaron_ghostty_session *session = userdata;
    if (!session)
        return;
    session_ref *ref = malloc(sizeof(*ref));
    if (!ref)
        return;
    ref->session = session;
    ref->serial = session->serial;
    /* Every tick, whether the reader thread or a tick with more output
     * waiting asks for it, starts from a short precise timer: it then takes
     * its turn in time order with input, timers and painting, and a flood of
     * output never runs tick after tick ahead of them. */
    tessaron_ghostty_main_after(TESSARON_TICK_PAUSE_US, tessaron_tick_on_main, ref);
}

typedef struct
{
    tessaron_ghostty_session *session;
    uint64_t serial;
    bool finished;
    bool has_exit_code;
    int64_t exit_code;
} action_work;

static void deliver_action_on_main(void *argument)
{
    action_work *work = argument;
    tessaron_ghostty_session *session = live_find(work->session, work->serial);
    if (session && session->has_view) {
        const tessaron_ghostty_host host = session->host;
        if (work->finished) {
            if (host.did_finish_command)
                host.did_finish_command(host.context, work->has_exit_code, work->exit_code);
        } else if (host.did_receive_output_activity) {
            host.did_receive_output_activity(host.context);
        }
    }
    free(work);
}

static bool tessaron_action_cb(tessaron_term_app_t app, tessaron_term_target target, const tessaron_term_action *action)
{
    (void)target;
    if (!app || !action || !g_api_ready)
        return true;
    tessaron_ghostty_session *session = g_api.app_userdata(app);
    if (!session)
        return true;
    bool finished = false, has_exit_code = false;
    int64_t exit_code = 0;
    switch (action->tag) {
    case TESSARON_TERM_ACTION_RING_BELL:
    case TESSARON_TERM_ACTION_SET_TITLE:
    case TESSARON_TERM_ACTION_OUTPUT_NOTICE:
        break;
    case TESSARON_TERM_ACTION_CHILD_EXITED:
        finished = true;
        has_exit_code = true;
        exit_code = (int64_t)action->payload.child_exit_code;
        break;
    case TESSARON_TERM_ACTION_COMMAND_FINISHED:
        finished = true;
        has_exit_code = action->payload.command_exit_code >= 0;
        exit_code = has_exit_code ? action->payload.command_exit_code : 0;
        break;
    default:
        return true;
    }
    action_work *work = malloc(sizeof(*work));
    if (!work)
        return true;
    work->session = session;
    work->serial = session->serial;
    work->finished = finished;
    work->has_exit_code = has_exit_code;
    work->exit_code = exit_code;
    tessaron_ghostty_main_async(deliver_action_on_main, work);
    return true;
}

/* ---- clipboard ---- */

static bool valid_utf8(const unsigned char *bytes, size_t count)
{
    size_t i = 0;
    while (i < count) {
        unsigned char c = bytes[i];
        size_t extra;
        uint32_t minimum, value;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, minimum = 0x80, value = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, minimum = 0x800, value = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, minimum = 0x10000, value = c & 0x07;
        } else {
            return false;
        }
        if (count - i <= extra)
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80)
                return false;
            value = (value << 6) | (bytes[i + k] & 0x3F);
        }
        if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

typedef struct
{
    tessaron_ghostty_session *session;
    uint64_t serial;
    char *text; /* read: the result */
    const char *in; /* write: the text */
    bool live;
} clipboard_work;

static void read_clipboard_on_main(void *argument)
{
    clipboard_work *work = argument;
    tessaron_ghostty_session *session = live_find(work->session, work->serial);
    work->live = session != NULL;
    if (session && session->has_view && session->host.read_clipboard_text)
        work->text = session->host.read_clipboard_text(session->host.context);
}

static void tessaron_read_clipboard_cb(void *userdata, int32_t clipboard_kind, void *request_state)
{
    /* Whatever the kind, only the standard clipboard is read, never the
     * selection. */
    (void)clipboard_kind;
    tessaron_ghostty_session *session = userdata;
    if (!session || !session->api || !session->surface)
        return;
    clipboard_work work = {session, session->serial, NULL, NULL, false};
    tessaron_ghostty_main_sync(read_clipboard_on_main, &work);
    if (!work.live) {
        free(work.text);
        return;
    }
    session->api->surface_complete_clipboard_request(
        session->surface, work.text ? work.text : "", request_state, false);
    free(work.text);
}

typedef struct
{
    tessaron_ghostty_session *session;
    uint64_t serial;
    char *text; /* what the program would get */
    void *request_state;
} program_read_work;

/* The user's answer to a program's clipboard read. It runs on a later turn of
 * the main thread, never inside a tick: the question may run a nested event
 * loop, in which ticks go on and the session may be destroyed. The request
 * waits in the library meanwhile and is answered only if the session lives. */
static void confirm_program_read_on_main(void *argument)
{
    program_read_work *work = argument;
    tessaron_ghostty_session *session = live_find(work->session, work->serial);
    bool allowed = false;
    if (session && session->has_view && session->host.allow_program_clipboard_read)
        allowed = session->host.allow_program_clipboard_read(session->host.context);
    session = live_find(work->session, work->serial);
    if (session && session->api && session->surface)
        session->api->surface_complete_clipboard_request(
            session->surface, allowed ? work->text : "", work->request_state, false);
    free(work->text);
    free(work);
}

static void tessaron_confirm_read_clipboard_cb(
    void *userdata, const char *text, void *request_state, int32_t request_kind)
{
    tessaron_ghostty_session *session = userdata;
    if (!session || !session->api || !session->surface)
        return;
    const char *offered = text ? text : "";
    if (request_kind != TESSARON_TERM_CLIPBOARD_REQUEST_PASTE) {
        /* A program asks for the clipboard: it gets it only with the user's
         * Allow, else the empty text. */
        program_read_work *work = calloc(1, sizeof *work);
        if (work)
            work->text = strdup(offered);
        if (!work || !work->text) {
            free(work);
            session->api->surface_complete_clipboard_request(session->surface, "", request_state, false);
            return;
        }
        work->session = session;
        work->serial = session->serial;
        work->request_state = request_state;
        tessaron_ghostty_main_async(confirm_program_read_on_main, work);
        return;
    }
    session->api->surface_complete_clipboard_request(session->surface, offered, request_state, false);
}

static void write_clipboard_on_main(void *argument)
{
    clipboard_work *work = argument;
    tessaron_ghostty_session *session = live_find(work->session, work->serial);
    if (session && session->has_view && session->host.write_clipboard_text)
        session->host.write_clipboard_text(session->host.context, work->in);
}

static void tessaron_write_clipboard_cb(void *userdata, int32_t clipboard_kind, const char *bytes, size_t count)
{
    (void)clipboard_kind; /* always the standard clipboard */
    tessaron_ghostty_session *session = userdata;
    if (!session || !bytes || count == 0 || !valid_utf8((const unsigned char *)bytes, count))
        return;
    char *copy = malloc(count + 1);
    if (!copy)
        return;
    memcpy(copy, bytes, count);
    copy[count] = '\0';
    clipboard_work work = {session, session->serial, NULL, copy, false};
    tessaron_ghostty_main_sync(write_clipboard_on_main, &work);
    free(copy);
}

static void tessaron_close_surface_cb(void *userdata, bool process_alive)
{
    (void)userdata;
    (void)process_alive;
}

/* ---- sessions ---- */

static void release_session(tessaron_ghostty_session *session)
{
    if (session->api) {
        if (session->surface) {
            session->api->surface_free(session->surface);
            session->surface = NULL;
        }
        if (session->app) {
            session->api->app_free(session->app);
            session->app = NULL;
        }
        if (session->config) {
            session->api->config_free(session->config);
            session->config = NULL;
        }
    }
    memset(&session->host, 0, sizeof(session->host));
    session->has_view = false;
    free(session);
}

tessaron_ghostty_session *tessaron_ghostty_session_create(const tessaron_ghostty_host *host,
    const tessaron_ghostty_session_options *options, const char *library_path, char *error, size_t error_size)
{
    clear_error(error, error_size);
    if (!host || !host->view) {
        tessaron_set_error(error, error_size, "Missing NSView pointer for Ghostty surface");
        return NULL;
    }
    if (!tessaron_acquire_api(library_path, error, error_size))
        return NULL;

    pthread_mutex_lock(&g_lock);
    if (!g_runtime_initialized) {
        char program[] = "tessaron";
        char *argv[] = {program, NULL};
        int code = g_api.init(1, argv);
        if (code != 0) {
            tessaron_set_error(error, error_size, "ghostty_init failed with code %d", code);
            pthread_mutex_unlock(&g_lock);
            return NULL;
        }
        g_runtime_initialized = true;
    }
    pthread_mutex_unlock(&g_lock);

    tessaron_ghostty_session *session = calloc(1, sizeof(*session));
    if (!session) {
        tessaron_set_error(error, error_size, "Failed to allocate Ghostty session");
        return NULL;
    }
    session->api = &g_api;
    session->host = *host;
    session->has_view = true;
    session->serial = g_next_serial++;
    const tessaron_ghostty_api *api = session->api;

    session->config = api->config_new();
    if (!session->config) {
        tessaron_set_error(error, error_size, "ghostty_config_new failed");
        release_session(session);
        return NULL;
    }
    api->config_load_default_files(session->config);
    char keybind_path[1024];
    if (write_keybind_file(keybind_path, sizeof(keybind_path)))
        api->config_load_file(session->config, keybind_path);
    api->config_finalize(session->config);

    tessaron_term_runtime_config runtime;
    memset(&runtime, 0, sizeof(runtime));
    runtime.userdata = session;
    runtime.supports_selection_clipboard = true;
    runtime.wakeup_cb = tessaron_wakeup_cb;
    runtime.action_cb = tessaron_action_cb;
    runtime.read_clipboard_cb = tessaron_read_clipboard_cb;
    runtime.confirm_read_clipboard_cb = tessaron_confirm_read_clipboard_cb;
    runtime.write_clipboard_cb = tessaron_write_clipboard_cb;
    runtime.close_surface_cb = tessaron_close_surface_cb;
    session->app = api->app_new(&runtime, session->config);
    if (!session->app) {
        tessaron_set_error(error, error_size, "ghostty_app_new failed");
        release_session(session);
        return NULL;
    }

    tessaron_term_surface_config surface = api->surface_config_new();
    surface.platform_tag = TESSARON_TERM_PLATFORM_QT_WIDGET;
    surface.platform_view = host->view;
    surface.userdata = session;
    surface.scale_factor = (options && options->scale_factor > 0) ? options->scale_factor : 2.0;
    surface.font_size = 0.0f;
    surface.working_directory = options ? options->working_directory : NULL;
    surface.command = options ? options->command : NULL;
    tessaron_term_env_var *pairs = NULL;
    if (options && options->env_count > 0 && options->env_keys && options->env_values) {
        pairs = calloc(options->env_count, sizeof(*pairs));
        if (!pairs) {
            tessaron_set_error(error, error_size, "Failed to allocate Ghostty env var buffer");
            release_session(session);
            return NULL;
        }
        for (size_t i = 0; i < options->env_count; ++i) {
            pairs[i].key = options->env_keys[i];
            pairs[i].value = options->env_values[i];
        }
        surface.env_vars = pairs;
        surface.env_var_count = options->env_count;
    }
    surface.initial_input = NULL;
    surface.wait_after_command = false;
    surface.context = 0;

    /* Live before the surface exists: its first wakeup may come at once. */
    if (!live_add(session)) {
        free(pairs);
        tessaron_set_error(error, error_size, "Failed to allocate Ghostty session");
        release_session(session);
        return NULL;
    }
    session->surface = api->surface_new(session->app, &surface);
    free(pairs);
    if (!session->surface) {
        tessaron_set_error(error, error_size, "ghostty_surface_new failed");
        live_remove(session);
        release_session(session);
        return NULL;
    }

    api->app_tick(session->app);
    tessaron_report_output_if_render_changed(session);
    return session;
}

void tessaron_ghostty_session_destroy(tessaron_ghostty_session *session)
{
    if (!session)
        return;
    live_remove(session);
    release_session(session);
}

static bool usable(const tessaron_ghostty_session *session)
{
    return session && session->api && session->surface;
}

void tessaron_ghostty_session_set_size(tessaron_ghostty_session *session, uint32_t width, uint32_t height)
{
    if (!usable(session))
        return;
    session->api->surface_set_size(session->surface, width, height);
}

void tessaron_ghostty_session_set_content_scale(tessaron_ghostty_session *session, double scale)
{
    if (!usable(session))
        return;
    double value = scale > 0 ? scale : 1.0;
    session->api->surface_set_content_scale(session->surface, value, value);
}

void tessaron_ghostty_session_set_focus(tessaron_ghostty_session *session, bool focused)
{
    if (!usable(session))
        return;
    session->api->surface_set_focus(session->surface, focused);
}

void tessaron_ghostty_session_send_text(tessaron_ghostty_session *session, const char *text)
{
    if (!usable(session) || !text || !text[0])
        return;
    session->api->surface_text(session->surface, text, (uintptr_t)strlen(text));
    session->api->app_tick(session->app);
    tessaron_report_output_if_render_changed(session);
}

bool tessaron_ghostty_session_send_key(tessaron_ghostty_session *session, uint32_t keycode, const char *text,
    int32_t mods, bool is_repeat, uint32_t unshifted_codepoint, bool composing)
{
    if (!usable(session))
        return false;
    tessaron_term_key key;
    memset(&key, 0, sizeof(key));
    key.action = is_repeat ? TESSARON_TERM_KEY_REPEAT : TESSARON_TERM_KEY_PRESS;
    key.mods = mods;
    key.consumed_mods = 0;
    key.keycode = keycode;
    key.text = text;
    key.unshifted_codepoint = unshifted_codepoint;
    key.composing = composing;
    bool handled = session->api->surface_key(session->surface, key);
    session->api->app_tick(session->app);
    tessaron_report_output_if_render_changed(session);
    return handled;
}

void tessaron_ghostty_session_send_mouse_scroll(
    tessaron_ghostty_session *session, double dx, double dy, int32_t scroll_mods)
{
    if (!usable(session))
        return;
    session->api->surface_mouse_scroll(session->surface, dx, dy, scroll_mods);
    session->api->app_tick(session->app);
    tessaron_report_output_if_render_changed(session);
}

char *tessaron_ghostty_session_copy_visible_text(tessaron_ghostty_session *session)
{
    if (!usable(session))
        return NULL;
    tessaron_term_text text;
    memset(&text, 0, sizeof(text));
    if (!session->api->surface_read_text(session->surface, k_viewport, &text))
        return NULL;
    char *copy = malloc(text.text_len + 1);
    if (copy) {
        if (text.text && text.text_len)
            memcpy(copy, text.text, text.text_len);
        copy[text.text_len] = '\0';
    }
    session->api->surface_free_text(session->surface, &text);
    return copy;
}
