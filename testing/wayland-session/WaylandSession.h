// A private Wayland session for one test suite: sway headless (pixman
// renderer, no input devices, no XWayland), or KDE's kwin_wayland --virtual,
// with a runtime directory of its own, killed and cleaned up when the object
// dies. sway refuses to run as root, so under root the compositor runs as the
// system user sorvane-wl (scripts/deps.sh adds it) and the runtime directory is
// that user's. kwin_wayland carries a file capability that a container may not
// grant (its exec then fails with EPERM), so a plain copy of it is run, under
// the same name, which its built-in Qt platform plugin insists on. Clients reach
// the compositor through WAYLAND_DISPLAY set to the socket's absolute path.
// Not thread-safe.
#pragma once

#include "testing/child-process/ChildProcess.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sorvane::testing {

class WaylandSession {
public:
    // The unprivileged user sway runs as when the tests run as root.
    static constexpr const char* kUser = "sorvane-wl";

    enum class Compositor { Sway, KWin };

    explicit WaylandSession(Compositor compositor = Compositor::Sway);
    ~WaylandSession();
    WaylandSession(const WaylandSession&) = delete;
    WaylandSession& operator=(const WaylandSession&) = delete;

    bool running() const { return m_error.empty(); }
    // True when the compositor is not installed (the only reason to skip).
    bool missing() const { return m_missing; }
    // Why the session did not start.
    const std::string& error() const { return m_error; }
    // The socket's absolute path, for WAYLAND_DISPLAY or wl_display_connect().
    const std::string& display() const { return m_display; }
    // The environment for a client of this session.
    EnvChanges clientEnv() const;
    // Kills the compositor now.
    void killCompositor();

private:
    std::string m_dir;
    std::string m_display;
    std::string m_error;
    bool m_missing = false;
    std::unique_ptr<ChildProcess> m_compositor;
};

// A program on `session` with its standard input and output on pipes.
class WaylandSubprocess : public ChildProcess {
public:
    WaylandSubprocess(const std::vector<std::string>& argv, const WaylandSession& session);
};

// Runs `wl-copy [extraArgs]` with `text` on its input; true once it has
// exited successfully (its background half then owns the clipboard).
bool wlCopy(const WaylandSession& session, const std::string& text,
            const std::vector<std::string>& extraArgs = {});
// `wl-paste --no-newline`: the clipboard's bytes as another program reads
// them; absent on failure.
std::optional<std::string> wlPaste(const WaylandSession& session);

} // namespace sorvane::testing
