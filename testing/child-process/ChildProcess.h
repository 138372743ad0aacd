// Child processes for tests: a program, or a function run in a forked child, with
// optional pipes into its standard input and out of one of its descriptors. The
// child is stopped (SIGTERM, then SIGKILL) and reaped when its object dies, and
// killed by the kernel if the thread that started it dies first, so a crashed
// test leaves nothing behind. Not thread-safe: one thread per object.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane::testing {

// Environment changes for a child: a value sets the variable, nullopt removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

// Applies `env` to this process (for the body of a forked child).
void applyEnv(const EnvChanges& env);
// The full path of `name` on $PATH (`name` itself when it holds a '/').
std::optional<std::string> findProgram(const std::string& name);
// Writes all of `text` to `fd`; false when the other end went away.
bool writeAll(int fd, std::string_view text);

class ChildProcess {
public:
    struct Options {
        EnvChanges env;
        bool pipeInput = false;            // write() and closeInput(); otherwise /dev/null
        int outputFd = -1;                 // this descriptor of the child feeds readLine()/readAll()
        std::string logFile = "/dev/null"; // stdout and stderr, unless stdout is the output pipe
    };

    // Starts `argv`, the program looked up on $PATH; started() is false when it
    // was not found or could not be forked.
    ChildProcess(const std::vector<std::string>& argv, Options options);
    explicit ChildProcess(const std::vector<std::string>& argv) : ChildProcess(argv, Options{}) {}
    // Forks; the child runs `body(outputFd)`, the write end of the output pipe,
    // and exits with its return value (99, with the reason on the pipe, when it throws).
    explicit ChildProcess(const std::function<int(int outputFd)>& body);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }

    bool write(std::string_view data);
    void closeInput();
    // The next line of output without its newline; nullopt on timeout or end of output.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads lines until one starts with `prefix`.
    std::optional<std::string> waitForLine(const std::string& prefix,
                                           std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Everything up to the end of output; nullopt on timeout.
    std::optional<std::string> readAll(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // The exit code, or 128 + the signal that ended it; nullopt while it runs past `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Sends `signal` and waits for the end (SIGKILL never needs a timeout).
    std::optional<int> killAndWait(int signal = SIGKILL);
    // SIGTERM, then SIGKILL if it lingers past 5 s; always reaped.
    void stop();

private:
    bool fill(std::chrono::steady_clock::time_point until);

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_buffer;
    bool m_eof = false;
    std::optional<int> m_status;
};

// Runs `body` in a forked child and collects its output until it ends; the
// child is killed when `deadline` passes (status is then nullopt).
struct ChildOutcome {
    std::optional<int> status; // as ChildProcess::wait
    std::string output;
};
ChildOutcome runForked(const std::function<int(int outputFd)>& body,
                       std::chrono::milliseconds deadline = std::chrono::seconds(90));

} // namespace sorvane::testing
