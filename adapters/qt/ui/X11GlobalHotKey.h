// The global shortcut on X11: passive key grabs on the root window, made on
// Qt's own X connection, and a native event filter that notices their presses.
//
// A combination is grabbed four times, plain and with NumLock (Mod2), CapsLock
// (Lock) or both, so that it works whatever the lock keys say. The stored key
// code goes through its keysym (ui/HotKeyCombo.h) to the X key code of the
// keyboard map at the time of the registration. Each grab is a checked request:
// when another X client holds the combination the server answers BadAccess,
// the registration returns that error code (10), and the variants that did
// succeed are released again.
//
// A key held down counts as one press, with or without detectable autorepeat:
// presses that come while the key is down (detectable autorepeat), or right
// after a release with the same timestamp (the server's plain autorepeat), are
// ignored.
//
// Thread-safety: main (GUI) thread only. The press callback is posted to the
// main queue and runs on a later turn of the event loop, never inside the X
// event dispatch; it does not run after the object is destroyed.
#pragma once

#include "ports/AppServices.h"

#include <QAbstractNativeEventFilter>
#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct xcb_connection_t;

namespace sorvane {

// The X modifier mask (ShiftMask, ControlMask, Mod1Mask, Mod4Mask) of a stored
// modifier mask; bits other than Shift, Ctrl, Alt and Super are left out.
uint16_t x11ModifierMask(uint32_t modifiers);

class X11GlobalHotKey final : public QObject, public QAbstractNativeEventFilter, public HotKeyService {
public:
    // The service on the running QGuiApplication's X connection; null when Qt
    // does not run on X11 (offscreen, Wayland) or there is no GUI application.
    static std::unique_ptr<X11GlobalHotKey> open();
    // Releases every grab made here.
    ~X11GlobalHotKey() override;
    X11GlobalHotKey(const X11GlobalHotKey&) = delete;
    X11GlobalHotKey& operator=(const X11GlobalHotKey&) = delete;

    void setOnPressed(std::function<void()> onPressed) override;
    // 0 on success; the X error code when a grab failed (10, BadAccess, when
    // another client holds the combination), with nothing left grabbed for this
    // combination; -1 when the key has no counterpart on this keyboard (logged).
    int registerHotKey(uint32_t keyCode, uint32_t modifiers) override;
    void unregisterHotKey() override;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    X11GlobalHotKey(xcb_connection_t* connection, uint32_t root);

    // One registered combination: its X key code and modifier mask (the lock
    // variants are grabbed along with it).
    struct Grab {
        uint8_t keycode;
        uint16_t modifiers;
    };
    // The X key code that produces `keysym` on the current keyboard map.
    std::optional<uint8_t> keycodeForKeysym(uint32_t keysym) const;
    void ungrab(const Grab& grab, int variants);
    // Whether a grab of ours has this key code (and these modifiers, if given).
    bool grabs(uint8_t keycode, std::optional<uint16_t> modifiers) const;

    xcb_connection_t* m_connection;
    uint32_t m_root;
    std::function<void()> m_onPressed;
    std::vector<Grab> m_grabs;
    // The grabbed key that is down, and when the last release of a grabbed key
    // came (an autorepeat press carries the same time).
    std::optional<uint8_t> m_held;
    std::optional<std::pair<uint8_t, uint32_t>> m_lastRelease;
};

} // namespace sorvane
