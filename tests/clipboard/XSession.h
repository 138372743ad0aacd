// A private X session for one test suite: Xvfb on a free display number
// (learned through -displayfd), optionally with openbox as the EWMH window
// manager, both killed when the object dies. Plus a child-process handle with
// pipes, for xclip and the test client.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <ctime>
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
    pid_t m_xvfb = -1;
    pid_t m_wm = -1;
    std::string m_display;
    std::string m_error;
};

// A child process with its standard input and output on pipes (stderr is
// discarded). Killed, if still running, when the object dies.
class Subprocess {
public:
    // `display` becomes DISPLAY in the child's environment.
    Subprocess(const std::vector<std::string>& argv, const std::string& display);
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    bool write(const std::string& data);
    void closeInput();
    // The next line of output, without its newline; absent on timeout or EOF.
    std::optional<std::string>
    readLine(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads lines until one starts with `prefix`.
    std::optional<std::string>
    waitForLine(const std::string& prefix,
                std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Everything up to EOF.
    std::optional<std::string>
    readAll(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The exit status; absent when it has not ended within `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_buffer;
    bool m_eof = false;
    std::optional<int> m_status;
};

// Runs `xclip -selection clipboard` with `text` on its input (extra args such
// as "-t image/png" before it) and waits until it owns the clipboard; false
// when it did not.
bool xclipCopy(const std::string& display, const std::string& text,
               const std::vector<std::string>& extraArgs = {});
// `xclip -o -selection clipboard`; absent on failure.
std::optional<std::string> xclipPaste(const std::string& display);

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
