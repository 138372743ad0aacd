#include "testing/child-process/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>
#include <utility>

extern char** environ;

namespace sorvane::testing {
namespace {

using Clock = std::chrono::steady_clock;

int millisLeft(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Common to both kinds of child: dies with the thread that forked it.
bool orphanGuard(pid_t parent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    return ::getppid() == parent;
}

} // namespace

void applyEnv(const EnvChanges& env) {
    for (const auto& [name, value] : env) {
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
}

std::optional<std::string> findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return name;
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0)
            return dir + "/" + name;
    }
    return std::nullopt;
}

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, Options options) {
    // Everything the child needs is prepared before forking: only
    // async-signal-safe calls run between fork and exec.
    const auto program = findProgram(argv.at(0));
    if (!program)
        return;
    std::vector<std::string> args = argv;
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        if (!options.env.contains(std::string(entry.substr(0, entry.find('=')))))
            env.emplace_back(entry);
    }
    for (const auto& [name, value] : options.env)
        if (value)
            env.push_back(name + "=" + *value);
    auto argp = pointers(args);
    auto envp = pointers(env);

    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (options.pipeInput && ::pipe2(in, O_CLOEXEC) != 0)
        return;
    if (options.outputFd >= 0 && ::pipe2(out, O_CLOEXEC) != 0)
        return;
    const int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const int log = ::open(options.logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!orphanGuard(parent))
            ::_exit(127);
        ::dup2(in[0] >= 0 ? in[0] : devnull, STDIN_FILENO);
        ::dup2(log >= 0 ? log : devnull, STDOUT_FILENO);
        ::dup2(log >= 0 ? log : devnull, STDERR_FILENO);
        if (out[1] == options.outputFd)
            ::fcntl(out[1], F_SETFD, 0);
        else if (options.outputFd >= 0)
            ::dup2(out[1], options.outputFd); // the copy does not close on exec
        ::execve(program->c_str(), argp.data(), envp.data());
        ::_exit(127);
    }
    for (int fd : {devnull, log, in[0], out[1]})
        if (fd >= 0)
            ::close(fd);
    m_in = in[1];
    m_out = out[0];
    if (pid < 0) {
        closeInput();
        return;
    }
    m_pid = pid;
    // A child that exits early must not kill the test with SIGPIPE.
    if (options.pipeInput)
        ::signal(SIGPIPE, SIG_IGN);
}

ChildProcess::ChildProcess(const std::function<int(int outputFd)>& body) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return;
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(out[0]);
        int code = 127;
        if (orphanGuard(parent)) {
            try {
                code = body(out[1]);
            } catch (const std::exception& e) {
                writeAll(out[1], std::string("\nuncaught exception: ") + e.what() + "\n");
                code = 99;
            }
        }
        ::_exit(code);
    }
    ::close(out[1]);
    m_out = out[0];
    m_pid = pid > 0 ? pid : -1;
}

ChildProcess::~ChildProcess() {
    closeInput();
    stop();
    if (m_out >= 0)
        ::close(m_out);
}

bool ChildProcess::write(std::string_view data) {
    return m_in >= 0 && writeAll(m_in, data);
}

void ChildProcess::closeInput() {
    if (m_in >= 0)
        ::close(m_in);
    m_in = -1;
}

// Reads what arrives before `until` into the buffer; false on timeout or at the end.
bool ChildProcess::fill(Clock::time_point until) {
    if (m_eof || m_out < 0)
        return false;
    pollfd p{m_out, POLLIN, 0};
    const int ready = ::poll(&p, 1, millisLeft(until));
    if (ready < 0 && errno == EINTR)
        return true;
    if (ready <= 0)
        return false;
    char buf[65536];
    const ssize_t n = ::read(m_out, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
        return true;
    if (n <= 0) {
        m_eof = true;
        return false;
    }
    m_buffer.append(buf, static_cast<size_t>(n));
    return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    for (;;) {
        if (const size_t nl = m_buffer.find('\n'); nl != std::string::npos) {
            std::string line = m_buffer.substr(0, nl);
            m_buffer.erase(0, nl + 1);
            return line;
        }
        if (!fill(until))
            return std::nullopt;
    }
}

std::optional<std::string> ChildProcess::waitForLine(const std::string& prefix,
                                                     std::chrono::milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    while (auto line = readLine(std::chrono::milliseconds(millisLeft(until)))) {
        if (line->starts_with(prefix))
            return line;
    }
    return std::nullopt;
}

std::optional<std::string> ChildProcess::readAll(std::chrono::milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    while (fill(until)) {
    }
    if (!m_eof)
        return std::nullopt;
    return std::exchange(m_buffer, {});
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (m_status || m_pid <= 0)
        return m_status;
    const auto until = Clock::now() + timeout;
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid)
            break;
        if (r < 0 && errno != EINTR)
            return std::nullopt;
        if (Clock::now() >= until)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m_status;
}

std::optional<int> ChildProcess::killAndWait(int signal) {
    if (m_pid > 0 && !m_status)
        ::kill(m_pid, signal);
    return wait(std::chrono::hours(1));
}

void ChildProcess::stop() {
    if (m_pid <= 0 || m_status)
        return;
    ::kill(m_pid, SIGTERM);
    if (!wait(std::chrono::seconds(5)))
        killAndWait(SIGKILL);
}

ChildOutcome runForked(const std::function<int(int outputFd)>& body,
                       std::chrono::milliseconds deadline) {
    ChildProcess child(body);
    ChildOutcome outcome;
    if (!child.started())
        return outcome;
    const auto until = Clock::now() + deadline;
    if (auto output = child.readAll(deadline)) {
        outcome.output = std::move(*output);
        outcome.status = child.wait(std::chrono::milliseconds(millisLeft(until)));
    }
    return outcome; // a child still running is killed by the destructor
}

} // namespace sorvane::testing
