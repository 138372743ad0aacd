// The paste keystroke on Wayland desktops other than wlroots (KDE Plasma,
// GNOME): a keyboard lent by org.freedesktop.portal.RemoteDesktop of the
// desktop portal.
//
// requestAccess() opens a remote desktop session for a keyboard only:
// CreateSession, SelectDevices (types 1, keyboard; persist_mode 2, until the
// user revokes it; with the restore token of an earlier start when the user
// defaults hold one), then Start, where the desktop asks the user the first
// time. Start's restore_token is kept in the user defaults under
// "remote_desktop_restore_token", so later starts do not ask again. Once
// started, available() is true and postPaste() sends Control_L down, v down,
// v up, Control_L up through NotifyKeyboardKeysym to whatever has the focus.
//
// Where the portal has no RemoteDesktop, the user declines, or the desktop
// grants no keyboard, it says so once in the log and stays unavailable: later
// requestAccess() calls answer false at once (an auto-paste desktop then falls
// back on the other ways it knows). A session the desktop closes makes it
// unavailable until the next requestAccess().
//
// Used on its own, e.g. by an AutoPasteDesktop for Wayland:
//     auto keyboard = PortalRemoteDesktopKeyboard::open(mainQueue, defaults);
//     keyboard->requestAccess([](bool granted) { ... });   // once, early
//     if (keyboard->available()) keyboard->postPaste();    // after the target has the focus
//
// Thread-safety: main thread only; the bus is talked to on the portal thread
// (see PortalBus). The access callback runs on the main queue, never after
// destruction.
#pragma once

#include "adapters/linux/portal/PortalBus.h"
#include "base/Liveness.h"
#include "ports/MainQueue.h"
#include "ports/UserDefaults.h"

#include <functional>
#include <memory>
#include <string_view>
#include <vector>

namespace sorvane {

class PortalRemoteDesktopKeyboard {
public:
    static constexpr const char* kInterface = "org.freedesktop.portal.RemoteDesktop";
    static constexpr std::string_view kRestoreTokenKey = "remote_desktop_restore_token";
    static constexpr int32_t kControlL = 0xffe3;
    static constexpr int32_t kV = 0x0076;

    // The keyboard on the session bus; null when the environment names no
    // session bus. Both must outlive it.
    static std::unique_ptr<PortalRemoteDesktopKeyboard> open(MainQueue& mainQueue, UserDefaults& defaults);
    PortalRemoteDesktopKeyboard(MainQueue& mainQueue, UserDefaults& defaults);
    // Closes the session.
    ~PortalRemoteDesktopKeyboard();
    PortalRemoteDesktopKeyboard(const PortalRemoteDesktopKeyboard&) = delete;
    PortalRemoteDesktopKeyboard& operator=(const PortalRemoteDesktopKeyboard&) = delete;

    // True while a started session lends us a keyboard.
    bool available() const { return m_available; }
    // Starts the session unless it runs already; `done` (may be empty) gets
    // whether the keyboard is available, on the main queue. Calls made while a
    // start is under way get the same answer. After a refusal or a portal
    // without RemoteDesktop, answers false without asking again.
    void requestAccess(std::function<void(bool granted)> done);
    // Sends Ctrl+V (as Control_L and v, pressed and released in that order).
    // False, sending nothing, when the keyboard is not available.
    bool postPaste();

private:
    struct Side;
    void finish(bool granted, const std::string& restoreToken);

    MainQueue& m_mainQueue;
    UserDefaults& m_defaults;
    std::shared_ptr<PortalBus> m_bus;
    std::shared_ptr<Side> m_side;
    bool m_available = false;
    bool m_starting = false;
    bool m_gaveUp = false;
    std::vector<std::function<void(bool)>> m_waiting;
    Liveness m_liveness;
};

} // namespace sorvane
