// The library's exported functions: the 22 the bridge resolves and the
// layout marker. Everything else in the library stays hidden.
#include "TermApp.h"
#include "TermSurface.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#define TERM_EXPORT extern "C" __attribute__((visibility("default")))

using termlib::TermApp;
using termlib::TermConfig;
using termlib::TermSurface;

extern "C" {
__attribute__((visibility("default"))) extern const uint32_t tessaron_term_abi_version;
const uint32_t tessaron_term_abi_version = TESSARON_TERM_ABI_VERSION;
}

TERM_EXPORT int ghostty_init(uintptr_t, char **)
{
    return 0;
}

TERM_EXPORT tessaron_term_config_t ghostty_config_new(void)
{
    return new (std::nothrow) TermConfig;
}

TERM_EXPORT void ghostty_config_free(tessaron_term_config_t config)
{
    delete static_cast<TermConfig *>(config);
}

TERM_EXPORT void ghostty_config_load_default_files(tessaron_term_config_t)
{
    // The library reads no configuration of its own.
}

TERM_EXPORT void ghostty_config_load_file(tessaron_term_config_t config, const char *path)
{
    if (!config || !path)
        return;
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return;
    std::stringstream text;
    text << file.rdbuf();
    static_cast<TermConfig *>(config)->keybinds.load(text.str());
}

TERM_EXPORT void ghostty_config_finalize(tessaron_term_config_t config)
{
    if (config)
        static_cast<TermConfig *>(config)->finalized = true;
}

TERM_EXPORT tessaron_term_app_t ghostty_app_new(
    const tessaron_term_runtime_config *runtime, tessaron_term_config_t config)
{
    if (!runtime || !config)
        return nullptr;
    return new (std::nothrow) TermApp(*runtime, *static_cast<TermConfig *>(config));
}

TERM_EXPORT void ghostty_app_free(tessaron_term_app_t app)
{
    delete static_cast<TermApp *>(app);
}

TERM_EXPORT void ghostty_app_tick(tessaron_term_app_t app)
{
    if (app)
        static_cast<TermApp *>(app)->tick();
}

TERM_EXPORT void *ghostty_app_userdata(tessaron_term_app_t app)
{
    return app ? static_cast<TermApp *>(app)->runtime.userdata : nullptr;
}

TERM_EXPORT tessaron_term_surface_config ghostty_surface_config_new(void)
{
    tessaron_term_surface_config config;
    memset(&config, 0, sizeof(config));
    config.scale_factor = 1.0;
    return config;
}

TERM_EXPORT tessaron_term_surface_t ghostty_surface_new(
    tessaron_term_app_t app, const tessaron_term_surface_config *config)
{
    if (!app || !config)
        return nullptr;
    auto *owner = static_cast<TermApp *>(app);
    auto *surface = new (std::nothrow) TermSurface(owner, *config);
    if (!surface)
        return nullptr;
    if (!surface->start()) {
        delete surface;
        return nullptr;
    }
    owner->surfaces.push_back(surface);
    return surface;
}

TERM_EXPORT void ghostty_surface_free(tessaron_term_surface_t surface)
{
    if (!surface)
        return;
    auto *self = static_cast<TermSurface *>(surface);
    auto &list = self->app()->surfaces;
    list.erase(std::remove(list.begin(), list.end(), self), list.end());
    delete self;
}

TERM_EXPORT void ghostty_surface_set_size(tessaron_term_surface_t surface, uint32_t width, uint32_t height)
{
    if (surface)
        static_cast<TermSurface *>(surface)->setSize(width, height);
}

TERM_EXPORT void ghostty_surface_set_content_scale(tessaron_term_surface_t surface, double x, double y)
{
    if (surface)
        static_cast<TermSurface *>(surface)->setContentScale(x, y);
}

TERM_EXPORT void ghostty_surface_set_focus(tessaron_term_surface_t surface, bool focused)
{
    if (surface)
        static_cast<TermSurface *>(surface)->setFocus(focused);
}

TERM_EXPORT bool ghostty_surface_key(tessaron_term_surface_t surface, tessaron_term_key key)
{
    return surface && static_cast<TermSurface *>(surface)->key(key);
}

TERM_EXPORT void ghostty_surface_text(tessaron_term_surface_t surface, const char *text, uintptr_t length)
{
    if (surface)
        static_cast<TermSurface *>(surface)->text(text, size_t(length));
}

TERM_EXPORT void ghostty_surface_mouse_scroll(tessaron_term_surface_t surface, double dx, double dy, int32_t mods)
{
    if (surface)
        static_cast<TermSurface *>(surface)->scroll(dx, dy, mods);
}

TERM_EXPORT void ghostty_surface_complete_clipboard_request(
    tessaron_term_surface_t surface, const char *text, void *request_state, bool confirmed)
{
    if (surface)
        static_cast<TermSurface *>(surface)->completeClipboardRequest(text, request_state, confirmed);
}

TERM_EXPORT bool ghostty_surface_read_text(
    tessaron_term_surface_t surface, tessaron_term_selection, tessaron_term_text *text)
{
    return surface && static_cast<TermSurface *>(surface)->readText(text);
}

TERM_EXPORT void ghostty_surface_free_text(tessaron_term_surface_t, tessaron_term_text *text)
{
    if (!text)
        return;
    free(const_cast<char *>(text->text));
    text->text = nullptr;
    text->text_len = 0;
}
