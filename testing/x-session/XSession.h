// A private X session for one test suite: Xvfb on a free display number
// (learned through -displayfd), optionally with openbox as the EWMH window
// manager, both killed when the object dies. Plus a child process on that
// display with pipes, for xclip and the test client.
#pragma once

#include "testing/child-process/ChildProcess.h"

#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sorvane::testing {

class XSession {
public:
    struct Options {
        bool windowManager = true;
        bool xtest = true;
    };
    explicit XSession(Options options);
    XSession() : XSession(Options{}) {}
    ~XSession();
    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;

    bool running() const { return m_error.empty(); }
    // Why the session did not start.
    const std::string& error() const { return m_error; }
    // ":N"
    const std::string& display() const { return m_display; }
    // Kills the X server now (the window manager goes with it).
    void killServer();

private:
    std::unique_ptr<ChildProcess> m_xvfb;
    std::unique_ptr<ChildProcess> m_wm;
    std::string m_display;
    std::string m_error;
};

// Options for a program on `display`; with `pipes`, its standard input and
// output are on pipes (stderr is discarded).
inline ChildProcess::Options onDisplay(const std::string& display, bool pipes) {
    ChildProcess::Options options;
    options.env = {{"DISPLAY", display}};
    options.pipeInput = pipes;
    options.outputFd = pipes ? 1 : -1;
    return options;
}

// A program on `display` with its standard input and output on pipes.
class Subprocess : public ChildProcess {
public:
    Subprocess(const std::vector<std::string>& argv, const std::string& display)
        : ChildProcess(argv, onDisplay(display, true)) {}
};

// Runs `xclip -selection clipboard` with `text` on its input (extra args such
// as "-t image/png" before it) and waits until it owns the clipboard; false
// when it did not.
bool xclipCopy(const std::string& display, const std::string& text,
               const std::vector<std::string>& extraArgs = {});
// `xclip -o -selection clipboard`; absent on failure.
std::optional<std::string> xclipPaste(const std::string& display);

// A window of the small X client beside this file (sorvane-x11-test-client),
// mapped and known by its process.
struct TestWindow {
    TestWindow(const std::string& display, const std::string& cls)
        : process({SORVANE_X11_TEST_CLIENT, "window", "--class", cls}, display) {
        mapped = process.waitForLine("WINDOW").has_value();
    }
    // "STATUS keys=<n> pastes=<n>" after a round trip.
    std::string status() {
        process.write("status\n");
        return process.waitForLine("STATUS").value_or("no answer");
    }
    Subprocess process;
    bool mapped = false;
};

// Polls `condition` every millisecond or so until it holds; false on timeout.
template <class F>
bool eventually(F condition, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        struct timespec ts {
            0, 1000000
        };
        nanosleep(&ts, nullptr);
    }
    return true;
}

} // namespace sorvane::testing
