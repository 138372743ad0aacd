#include "adapters/qt/ui/X11GlobalHotKey.h"

#include "base/Log.h"
#include "ui/HotKeyCombo.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMetaObject>

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace sorvane {
namespace {

// The lock modifiers a grab is repeated for: none, NumLock, CapsLock, both.
constexpr uint16_t kLockVariants[] = {0, XCB_MOD_MASK_2, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2 | XCB_MOD_MASK_LOCK};
constexpr int kVariantCount = 4;
// The modifiers a press is matched on; the lock modifiers may be anything.
constexpr uint16_t kMatchedModifiers =
    XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using XcbReply = std::unique_ptr<T, FreeDeleter>;

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

} // namespace

uint16_t x11ModifierMask(uint32_t modifiers) {
    uint16_t mask = 0;
    if (modifiers & hotkeymask::shift)
        mask |= XCB_MOD_MASK_SHIFT;
    if (modifiers & hotkeymask::ctrl)
        mask |= XCB_MOD_MASK_CONTROL;
    if (modifiers & hotkeymask::alt)
        mask |= XCB_MOD_MASK_1;
    if (modifiers & hotkeymask::super)
        mask |= XCB_MOD_MASK_4;
    return mask;
}

std::unique_ptr<X11GlobalHotKey> X11GlobalHotKey::open() {
    // A QCoreApplication (no windows) has no X connection.
    auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    auto* x11 = gui ? gui->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return nullptr;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    if (!screen)
        return nullptr;
    return std::unique_ptr<X11GlobalHotKey>(new X11GlobalHotKey(connection, screen->root));
}

X11GlobalHotKey::X11GlobalHotKey(xcb_connection_t* connection, uint32_t root)
    : m_connection(connection), m_root(root) {
    QCoreApplication::instance()->installNativeEventFilter(this);
}

X11GlobalHotKey::~X11GlobalHotKey() {
    // Without the application, Qt's connection is closed and the grabs with it.
    if (!QCoreApplication::instance())
        return;
    QCoreApplication::instance()->removeNativeEventFilter(this);
    unregisterHotKey();
}

void X11GlobalHotKey::setOnPressed(std::function<void()> onPressed) {
    m_onPressed = std::move(onPressed);
}

int X11GlobalHotKey::registerHotKey(uint32_t keyCode, uint32_t modifiers) {
    const auto keysym = keysymForKeyCode(keyCode);
    if (!keysym) {
        logLine("Sorvane: the shortcut's key code " + std::to_string(keyCode) + " names no key");
        return -1;
    }
    const auto keycode = keycodeForKeysym(*keysym);
    if (!keycode) {
        logLine("Sorvane: no key on this keyboard gives keysym " + hex(*keysym));
        return -1;
    }
    const Grab grab{*keycode, x11ModifierMask(modifiers)};
    if (grabs(grab.keycode, grab.modifiers))
        return 0; // already ours: grabbing again could only undo it on failure
    // All four requests first, then their answers: one round trip.
    xcb_void_cookie_t cookies[kVariantCount];
    for (int i = 0; i < kVariantCount; ++i)
        cookies[i] = xcb_grab_key_checked(m_connection, 0, m_root, grab.modifiers | kLockVariants[i], grab.keycode,
                                          XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    int status = 0;
    int grabbed = 0; // bit i: variant i is held
    for (int i = 0; i < kVariantCount; ++i) {
        XcbReply<xcb_generic_error_t> error(xcb_request_check(m_connection, cookies[i]));
        if (!error)
            grabbed |= 1 << i;
        else if (status == 0)
            status = error->error_code;
    }
    if (status != 0) {
        if (status == XCB_ACCESS)
            logLine("Sorvane: another program already holds that key combination");
        ungrab(grab, grabbed);
        return status;
    }
    m_grabs.push_back(grab);
    return 0;
}

void X11GlobalHotKey::unregisterHotKey() {
    for (const Grab& grab : m_grabs)
        ungrab(grab, (1 << kVariantCount) - 1);
    m_grabs.clear();
    m_held.reset();
    m_lastRelease.reset();
}

void X11GlobalHotKey::ungrab(const Grab& grab, int variants) {
    // Checked, so that the keys are free for other programs when this returns.
    std::vector<xcb_void_cookie_t> cookies;
    for (int i = 0; i < kVariantCount; ++i)
        if (variants & (1 << i))
            cookies.push_back(
                xcb_ungrab_key_checked(m_connection, grab.keycode, m_root, grab.modifiers | kLockVariants[i]));
    for (const auto& cookie : cookies)
        XcbReply<xcb_generic_error_t>(xcb_request_check(m_connection, cookie));
}

std::optional<uint8_t> X11GlobalHotKey::keycodeForKeysym(uint32_t keysym) const {
    // Asked anew each time, so that a keyboard layout changed since the last
    // registration counts.
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    const int first = setup->min_keycode;
    const int count = setup->max_keycode - setup->min_keycode + 1;
    XcbReply<xcb_get_keyboard_mapping_reply_t> mapping(xcb_get_keyboard_mapping_reply(
        m_connection, xcb_get_keyboard_mapping(m_connection, setup->min_keycode, static_cast<uint8_t>(count)),
        nullptr));
    if (!mapping)
        return std::nullopt;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(mapping.get());
    const int perKey = mapping->keysyms_per_keycode;
    if (xcb_get_keyboard_mapping_keysyms_length(mapping.get()) < perKey * count)
        return std::nullopt;
    // The key that gives it unshifted comes first (lower-case letters, digits).
    for (int column = 0; column < perKey; ++column)
        for (int key = 0; key < count; ++key)
            if (syms[key * perKey + column] == keysym)
                return static_cast<uint8_t>(first + key);
    return std::nullopt;
}

bool X11GlobalHotKey::grabs(uint8_t keycode, std::optional<uint16_t> modifiers) const {
    for (const Grab& grab : m_grabs)
        if (grab.keycode == keycode && (!modifiers || grab.modifiers == *modifiers))
            return true;
    return false;
}

bool X11GlobalHotKey::nativeEventFilter(const QByteArray& eventType, void* message, qintptr* /*result*/) {
    if (eventType != "xcb_generic_event_t" || m_grabs.empty())
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    const uint8_t type = event->response_type & 0x7f;
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE)
        return false;
    // Press and release events share one layout.
    const auto* key = reinterpret_cast<const xcb_key_press_event_t*>(event);
    if (key->event != m_root)
        return false;
    if (!grabs(key->detail, std::nullopt))
        return false;

    if (type == XCB_KEY_RELEASE) {
        // The modifiers may already be up: the key alone says it is the one.
        if (m_held == key->detail)
            m_held.reset();
        m_lastRelease = std::pair(key->detail, key->time);
        return true;
    }
    if (!grabs(key->detail, static_cast<uint16_t>(key->state & kMatchedModifiers)))
        return false;
    const bool repeat = m_held == key->detail || m_lastRelease == std::pair(key->detail, key->time);
    m_held = key->detail;
    if (repeat)
        return true;
    // Never inside the dispatch of the X event: on the next turn of the loop.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_onPressed)
                m_onPressed();
        },
        Qt::QueuedConnection);
    return true;
}

} // namespace sorvane
