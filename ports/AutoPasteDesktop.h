// The desktop services that pasting into the previous application needs: the
// application in front, handing it the focus, the synthetic paste keystroke and
// the permission that keystrokes require.
//
// Thread-safety: main thread only. None of the methods throws or blocks for
// long; a failure reads as "not trusted", "no application" or "nothing posted".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sorvane {

// A running application as captured at one moment.
struct RunningApplication {
    // The platform's handle of its window (the X11 window id); 0 when unknown.
    uint64_t window = 0;
    // Its process identifier; 0 when unknown.
    int64_t pid = 0;
    // Its bundle identifier, or what stands in for it (the X11 WM_CLASS class).
    std::optional<std::string> appIdentifier;
};

// True when `a` and `b` are the same application: the same process when both
// process identifiers are known, otherwise the same window. Two applications
// whose process is unknown never match merely because both identifiers are 0.
inline bool isSameApplication(const RunningApplication& a, const RunningApplication& b) {
    if (a.pid > 0 && b.pid > 0)
        return a.pid == b.pid;
    return a.window != 0 && a.window == b.window;
}

class AutoPasteDesktop {
public:
    virtual ~AutoPasteDesktop() = default;

    // Whether this process may post synthetic keystrokes. With `prompt`, the
    // platform may ask the user for the permission as well.
    virtual bool isTrusted(bool prompt) = 0;
    // The application in front, absent when there is none or it is unknown.
    virtual std::optional<RunningApplication> frontmostApplication() = 0;
    // Makes this program's own windows give up the focus.
    virtual void hideThisApplication() = 0;
    // Brings `app` to the front, regardless of other applications.
    virtual void activate(const RunningApplication& app) = 0;
    // Posts the paste keystroke (Command-V; Control-V on Linux desktops) to
    // `target`. Returns false, having posted nothing, when the keystroke cannot
    // be created or `target` no longer holds the keyboard focus.
    virtual bool postPasteKeystroke(const RunningApplication& target) = 0;
    // Opens the settings page where the permission is granted; does nothing on
    // a platform that has none.
    virtual void openAccessibilitySettings() = 0;
};

// The desktop of a session without one: nothing in front, never trusted, no
// keystroke ever posted.
class NoAutoPasteDesktop final : public AutoPasteDesktop {
public:
    bool isTrusted(bool) override { return false; }
    std::optional<RunningApplication> frontmostApplication() override { return std::nullopt; }
    void hideThisApplication() override {}
    void activate(const RunningApplication&) override {}
    bool postPasteKeystroke(const RunningApplication&) override { return false; }
    void openAccessibilitySettings() override {}
};

} // namespace sorvane
