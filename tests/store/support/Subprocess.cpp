#include "store/support/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace sorvane::testing {
namespace {

using SteadyClock = std::chrono::steady_clock;

int millisLeft(SteadyClock::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits for `pid` to end until `end`; true when it was reaped into `status`.
bool waitUntil(pid_t pid, SteadyClock::time_point end, int& status) {
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        int ready;
        do {
            ready = ::poll(&p, 1, millisLeft(end));
        } while (ready < 0 && errno == EINTR);
        ::close(pidfd);
        if (ready <= 0)
            return false;
    }
    // Without pidfd (old kernel) this blocks; the child ends by itself then.
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

void killAndReap(pid_t pid) {
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

void writeText(int fd, const std::string& text) {
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = ::write(fd, text.data() + off, text.size() - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        off += static_cast<size_t>(n);
    }
}

ChildOutcome runForked(const std::function<int(int outputFd)>& body,
                       std::chrono::milliseconds deadline) {
    ChildOutcome outcome;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return outcome;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        int code = 1;
        try {
            code = body(fds[1]);
        } catch (const std::exception& e) {
            writeText(fds[1], std::string("\nuncaught exception: ") + e.what() + "\n");
            code = 99;
        }
        ::_exit(code);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return outcome;
    }
    auto end = SteadyClock::now() + deadline;
    char buffer[4096];
    for (;;) {
        pollfd p{fds[0], POLLIN, 0};
        int ready = ::poll(&p, 1, millisLeft(end));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            outcome.timedOut = true;
            break;
        }
        ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        outcome.output.append(buffer, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    if (outcome.timedOut || !waitUntil(pid, end, status)) {
        outcome.timedOut = true;
        killAndReap(pid);
        return outcome;
    }
    if (WIFEXITED(status)) {
        outcome.exited = true;
        outcome.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        outcome.signal = WTERMSIG(status);
    }
    return outcome;
}

std::optional<std::string> findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty())
            continue;
        auto candidate = std::filesystem::path(dir) / name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
    }
    return std::nullopt;
}

Program::Program(std::vector<std::string> argv, Options options) {
    int in[2] = {-1, -1};
    int report[2] = {-1, -1};
    if (options.stdinText && ::pipe2(in, O_CLOEXEC) != 0)
        return;
    if (options.reportFd >= 0 && ::pipe2(report, O_CLOEXEC) != 0)
        return;
    pid_t pid = ::fork();
    if (pid == 0) {
        for (const auto& [name, value] : options.env) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
        int out = ::open(options.outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (out >= 0) {
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
        }
        int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(options.stdinText ? in[0] : devnull, STDIN_FILENO);
        if (options.reportFd >= 0)
            ::dup2(report[1], options.reportFd); // dup2 clears O_CLOEXEC on the copy
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    if (options.stdinText) {
        ::close(in[0]);
        if (pid > 0)
            writeText(in[1], *options.stdinText);
        ::close(in[1]);
    }
    if (options.reportFd >= 0) {
        ::close(report[1]);
        m_reportRead = report[0];
    }
    m_pid = pid;
}

Program::~Program() {
    stop();
    if (m_reportRead >= 0)
        ::close(m_reportRead);
}

std::string Program::readReportLine(std::chrono::milliseconds deadline) {
    std::string line;
    if (m_reportRead < 0)
        return line;
    auto end = SteadyClock::now() + deadline;
    char c;
    for (;;) {
        pollfd p{m_reportRead, POLLIN, 0};
        int ready = ::poll(&p, 1, millisLeft(end));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return {};
        ssize_t n = ::read(m_reportRead, &c, 1);
        if (n <= 0)
            return {};
        if (c == '\n')
            return line;
        line.push_back(c);
    }
}

std::optional<int> Program::waitExit(std::chrono::milliseconds deadline) {
    if (m_pid <= 0 || m_reaped)
        return std::nullopt;
    int status = 0;
    if (!waitUntil(m_pid, SteadyClock::now() + deadline, status))
        return std::nullopt;
    m_reaped = true;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return std::nullopt;
}

void Program::stop() {
    if (m_pid <= 0 || m_reaped)
        return;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    if (!waitUntil(m_pid, SteadyClock::now() + std::chrono::seconds(5), status))
        killAndReap(m_pid);
    m_reaped = true;
}

} // namespace sorvane::testing
