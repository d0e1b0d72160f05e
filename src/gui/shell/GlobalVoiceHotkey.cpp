#include "GlobalVoiceHotkey.h"

#include <QGuiApplication>
#include <QLoggingCategory>
#include <qguiapplication_platform.h>

#include <xcb/xcb.h>

namespace {

Q_LOGGING_CATEGORY(lcHotkey, "tessaron.hotkey", QtWarningMsg)

constexpr quint32 kSpaceKeysym = 0x20;

xcb_connection_t *x11Connection()
{
    if (QGuiApplication::platformName() != QStringLiteral("xcb"))
        return nullptr;
    auto *x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

// The ways Caps Lock and Num Lock may be set while Alt+Space is pressed.
constexpr quint16 kLockVariants[] = {0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2, XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};
constexpr quint16 kChordMask = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

} // namespace

GlobalVoiceHotkey::GlobalVoiceHotkey() = default;

GlobalVoiceHotkey::~GlobalVoiceHotkey()
{
    release();
}

bool GlobalVoiceHotkey::install()
{
    if (m_grabbed)
        return true;
    xcb_connection_t *connection = x11Connection();
    if (!connection) {
        m_failure = QStringLiteral("no X11 display: Alt+Space works inside the window only");
        qCInfo(lcHotkey) << m_failure;
        return false;
    }
    const xcb_setup_t *setup = xcb_get_setup(connection);
    const xcb_screen_t *screen = xcb_setup_roots_iterator(setup).data;
    m_root = screen->root;

    // The key code that carries the space keysym.
    const quint8 first = setup->min_keycode;
    const quint8 count = setup->max_keycode - setup->min_keycode + 1;
    xcb_get_keyboard_mapping_reply_t *mapping
        = xcb_get_keyboard_mapping_reply(connection, xcb_get_keyboard_mapping(connection, first, count), nullptr);
    if (mapping) {
        const xcb_keysym_t *keysyms = xcb_get_keyboard_mapping_keysyms(mapping);
        const int perCode = mapping->keysyms_per_keycode;
        for (int code = 0; code < count && !m_keycode; ++code)
            for (int i = 0; i < perCode; ++i)
                if (keysyms[code * perCode + i] == kSpaceKeysym) {
                    m_keycode = quint8(first + code);
                    break;
                }
        free(mapping);
    }
    if (!m_keycode) {
        m_failure = QStringLiteral("the keyboard has no space key");
        qCWarning(lcHotkey).noquote() << "Alt+Space not grabbed:" << m_failure;
        return false;
    }

    bool refused = false;
    for (quint16 locks : kLockVariants) {
        const xcb_void_cookie_t cookie = xcb_grab_key_checked(
            connection, 1, m_root, XCB_MOD_MASK_1 | locks, m_keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        if (xcb_generic_error_t *error = xcb_request_check(connection, cookie)) {
            refused = true;
            free(error);
        }
    }
    if (refused) {
        for (quint16 locks : kLockVariants)
            xcb_ungrab_key(connection, m_keycode, m_root, XCB_MOD_MASK_1 | locks);
        xcb_flush(connection);
        m_failure = QStringLiteral("another program holds Alt+Space: it works inside the window only");
        qCWarning(lcHotkey).noquote() << "Alt+Space not grabbed:" << m_failure;
        return false;
    }
    xcb_flush(connection);
    m_grabbed = true;
    m_failure.clear();
    qCInfo(lcHotkey) << "Alt+Space grabbed system-wide";
    QCoreApplication::instance()->installNativeEventFilter(this);
    return true;
}

void GlobalVoiceHotkey::release()
{
    if (!m_grabbed)
        return;
    QCoreApplication::instance()->removeNativeEventFilter(this);
    if (xcb_connection_t *connection = x11Connection()) {
        for (quint16 locks : kLockVariants)
            xcb_ungrab_key(connection, m_keycode, m_root, XCB_MOD_MASK_1 | locks);
        xcb_flush(connection);
    }
    m_grabbed = false;
}

bool GlobalVoiceHotkey::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (!m_grabbed || eventType != "xcb_generic_event_t")
        return false;
    auto *event = static_cast<xcb_generic_event_t *>(message);
    const quint8 type = event->response_type & 0x7f;
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE)
        return false;
    auto *key = reinterpret_cast<xcb_key_press_event_t *>(event);
    if (key->event != m_root || key->detail != m_keycode)
        return false;
    if (type == XCB_KEY_RELEASE) {
        m_keyDown = false;
        m_lastReleaseTime = key->time;
        return true;
    }
    // A held key repeats its press (after a release of the same moment when
    // the server reports repeats as pairs); only the first press toggles.
    const bool repeat = m_keyDown || (m_lastReleaseTime && key->time == *m_lastReleaseTime);
    m_keyDown = true;
    if (!repeat && (key->state & kChordMask) == XCB_MOD_MASK_1)
        emit activated();
    return true;
}
