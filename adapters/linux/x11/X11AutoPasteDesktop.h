// X11AutoPasteDesktop: auto-paste on an X11 desktop with an EWMH window
// manager. The application in front is the client of _NET_ACTIVE_WINDOW (its
// WM_CLASS class stands in for the bundle identifier, _NET_WM_PID gives the
// process); activating sends the _NET_ACTIVE_WINDOW request to the window
// manager; the keystroke is Control-V through XTest, posted only while the
// keyboard focus is inside the target's window. "Trusted" means XTest is
// there; in a Wayland session (where XTest reaches only X clients, if any) the
// desktop is never trusted. There is no permission page to open.
//
// Thread-safety: main thread only, like the interface.
#pragma once

#include "ports/AutoPasteDesktop.h"

#include <functional>
#include <memory>

namespace sorvane::x11 {

class X11Connection;

class X11AutoPasteDesktop final : public AutoPasteDesktop {
public:
    struct Options {
        // True in a Wayland session: keystrokes are never synthesised.
        bool waylandSession = false;
        // Hides this program's own windows (the panel); none by default.
        std::function<void()> hideOwnWindows;
    };

    // Null when the display cannot be opened.
    static std::unique_ptr<X11AutoPasteDesktop> open(const char* displayName, Options options);
    static std::unique_ptr<X11AutoPasteDesktop> open(const char* displayName = nullptr) {
        return open(displayName, Options{});
    }
    ~X11AutoPasteDesktop() override;
    X11AutoPasteDesktop(const X11AutoPasteDesktop&) = delete;
    X11AutoPasteDesktop& operator=(const X11AutoPasteDesktop&) = delete;

    bool isTrusted(bool prompt) override;
    std::optional<RunningApplication> frontmostApplication() override;
    void hideThisApplication() override;
    void activate(const RunningApplication& app) override;
    bool postPasteKeystroke(const RunningApplication& target) override;
    void openAccessibilitySettings() override {}

    // True when the session is Wayland, judged from the environment.
    static bool waylandSessionFromEnvironment();

private:
    X11AutoPasteDesktop(std::unique_ptr<X11Connection> x, Options options, bool xtest);
    // True when the keyboard focus is the window `target` or inside it.
    bool focusInside(unsigned long target);

    const std::unique_ptr<X11Connection> m_x;
    const Options m_options;
    const bool m_xtest;
};

} // namespace sorvane::x11
