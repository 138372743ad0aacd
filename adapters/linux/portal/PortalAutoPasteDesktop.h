// PortalAutoPasteDesktop: auto-paste on a Wayland desktop that is not wlroots
// (KDE Plasma, GNOME), through the RemoteDesktop portal's keyboard.
//
// Such desktops tell no other client which window is in front, and let none
// hand the focus to another: when the panel hides, the compositor gives the
// focus back to the window that had it before, and that is where the paste
// keystroke goes. So the application "in front" is always the one stand-in,
// "the window the focus returns to", activating does nothing, and the
// keystroke is sent only once this program's own windows have given up the
// focus.
//
// Trust is the portal's keyboard: the first paste asks the desktop (which asks
// the user once; the grant is kept as a restore token) and that paste is left
// on the clipboard; later ones are typed. Where the portal has no
// RemoteDesktop or the user refused, nothing is ever typed: the entry stays on
// the clipboard, and the first time the user is told in one line what the
// desktop does not allow.
//
// Thread-safety: main thread only, like the interface.
#pragma once

#include "adapters/linux/portal/PortalRemoteDesktopKeyboard.h"
#include "base/Liveness.h"
#include "ports/AutoPasteDesktop.h"

#include <functional>
#include <string>

namespace sorvane {

class PortalAutoPasteDesktop final : public AutoPasteDesktop {
public:
    // The one-line explanation given when nothing can be typed.
    static constexpr const char* kNoKeystrokes =
        "This desktop does not let Sorvane type into other windows. The entry is on the clipboard: "
        "press Ctrl+V to paste it.";
    // The identity of "the window the focus returns to".
    static constexpr uint64_t kFocusReturnsTo = 1;

    struct Options {
        // Hides this program's own windows (the panel).
        std::function<void()> hideOwnWindows;
        // True while a window of this program has the keyboard focus.
        std::function<bool()> ownWindowHasFocus;
        // Tells the user (once) why nothing was pasted.
        std::function<void(const std::string&)> explain;
    };

    // `keyboard` may be null (no session bus): then nothing is ever typed.
    PortalAutoPasteDesktop(PortalRemoteDesktopKeyboard* keyboard, Options options);

    bool isTrusted(bool prompt) override;
    std::optional<RunningApplication> frontmostApplication() override;
    void hideThisApplication() override;
    void activate(const RunningApplication&) override {}
    bool postPasteKeystroke(const RunningApplication& target) override;
    // The counterpart of the permission page: the explanation, once.
    void openAccessibilitySettings() override;

private:
    PortalRemoteDesktopKeyboard* const m_keyboard;
    const Options m_options;
    // Whether the portal may still grant a keyboard (not refused, not absent).
    bool m_mayGrant;
    bool m_explained = false;
    Liveness m_liveness;
};

} // namespace sorvane
