// WlrootsAutoPasteDesktop: auto-paste on a wlroots compositor (sway, labwc,
// Hyprland, river...). The compositor lists every toplevel window through
// zwlr_foreign_toplevel_manager_v1: the one in the "activated" state is the
// application in front (its app_id stands in for the bundle identifier), and a
// handle's activate request hands it the focus back. The paste keystroke is
// Control-V typed on a virtual keyboard of our own
// (zwp_virtual_keyboard_manager_v1, with a US keymap made by xkbcommon), and
// only once the target is the activated toplevel again: a keystroke goes
// wherever the focus is. The keyboard is made when the first paste activates
// its target, not at start-up (its keymap takes some milliseconds to compile).
//
// "Trusted" means the compositor offers both protocols to this client.
//
// The connection is this object's own and is only read on the main thread,
// without a thread of its own: each call first takes the events that have
// arrived, and every wait for the compositor is bounded.
//
// Thread-safety: main thread only, like the interface.
#pragma once

#include "ports/AutoPasteDesktop.h"

#include <chrono>
#include <functional>
#include <memory>

namespace sorvane::wayland {

class WlrootsAutoPasteDesktop final : public AutoPasteDesktop {
public:
    struct Options {
        // Hides this program's own windows (the panel); none by default.
        std::function<void()> hideOwnWindows;
        // Longest wait for the target to have the focus before the keystroke,
        // and for the compositor to answer a round trip.
        std::chrono::milliseconds focusWait{500};
    };

    // Null, with a log line, when the display cannot be reached; an object
    // that is never trusted when the compositor lacks either protocol.
    static std::unique_ptr<WlrootsAutoPasteDesktop> open(const char* display, Options options);
    ~WlrootsAutoPasteDesktop() override;
    WlrootsAutoPasteDesktop(const WlrootsAutoPasteDesktop&) = delete;
    WlrootsAutoPasteDesktop& operator=(const WlrootsAutoPasteDesktop&) = delete;

    bool isTrusted(bool prompt) override;
    std::optional<RunningApplication> frontmostApplication() override;
    void hideThisApplication() override;
    void activate(const RunningApplication& app) override;
    bool postPasteKeystroke(const RunningApplication& target) override;
    void openAccessibilitySettings() override {}

private:
    struct State;
    WlrootsAutoPasteDesktop(std::unique_ptr<State> state, Options options);

    const std::unique_ptr<State> m_state;
    const Options m_options;
};

} // namespace sorvane::wayland
