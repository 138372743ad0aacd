// Child processes for the store tests: a function run in a forked child (a fresh
// "program run" whose output comes back through a pipe), and external programs
// (dbus-daemon, gnome-keyring-daemon) that are killed and reaped when their
// owner dies. Not thread-safe; the test's main thread only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sorvane::testing {

struct ChildOutcome {
    bool exited = false; // ran to the end (the exit code is in exitCode)
    int exitCode = -1;
    int signal = 0;        // the signal that ended it, if one did
    bool timedOut = false; // killed after the deadline
    std::string output;    // everything written to the fd handed to the body
};

// Forks; the child runs `body(outputFd)` and exits with its return value (never
// returning into the test). The parent collects the output until the child ends
// or `deadline` passes (the child is then killed).
ChildOutcome runForked(const std::function<int(int outputFd)>& body,
                       std::chrono::milliseconds deadline = std::chrono::seconds(90));

// Writes all of `text` to `fd` (for child bodies).
void writeText(int fd, const std::string& text);

// The full path of `name` on $PATH, if there is one.
std::optional<std::string> findProgram(const std::string& name);

// Environment changes applied in a child before exec: a value sets the
// variable, nullopt removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

class Program {
public:
    struct Options {
        EnvChanges env;
        std::optional<std::string> stdinText; // written, then stdin is closed
        std::string outputFile = "/dev/null"; // stdout and stderr go here
        int reportFd = -1;                    // when >= 0, a pipe's write end becomes this fd
    };

    Program(std::vector<std::string> argv, Options options);
    ~Program(); // SIGTERM, then SIGKILL if it lingers; always reaped
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    pid_t pid() const { return m_pid; }
    // Reads the report pipe up to the first newline (empty on timeout or EOF).
    std::string readReportLine(std::chrono::milliseconds deadline);
    // Waits for the program to exit; its exit code, or nullopt on timeout or
    // when a signal ended it.
    std::optional<int> waitExit(std::chrono::milliseconds deadline);
    void stop();

private:
    pid_t m_pid = -1;
    int m_reportRead = -1;
    bool m_reaped = false;
};

} // namespace sorvane::testing
