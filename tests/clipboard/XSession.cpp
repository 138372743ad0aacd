#include "clipboard/XSession.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

extern char** environ;

namespace sorvane::testing {
namespace {

// The full path of `program` found on $PATH.
std::optional<std::string> findOnPath(const std::string& program) {
    if (program.find('/') != std::string::npos)
        return program;
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        const size_t end = dirs.find(':', start);
        const std::string dir =
            dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0)
            return dir + "/" + program;
        if (end == std::string::npos)
            return std::nullopt;
        start = end + 1;
    }
}

// Environment for a child: ours, with DISPLAY replaced.
std::vector<std::string> childEnvironment(const std::string& display) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "DISPLAY=", 8) != 0)
            env.emplace_back(*e);
    if (!display.empty())
        env.push_back("DISPLAY=" + display);
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Starts `argv` with the given standard input and output (-1: /dev/null) and,
// when `keepFd` is given, that descriptor as fd 3. The child is killed when
// the thread that started it dies, so a crashed test leaves no X server behind.
pid_t spawn(std::vector<std::string> argv, const std::string& display, int in, int out,
            int keepFd = -1) {
    auto env = childEnvironment(display);
    auto args = pointers(argv);
    auto envp = pointers(env);
    // Resolve the program before forking: only async-signal-safe calls below.
    const std::optional<std::string> program = findOnPath(argv[0]);
    if (!program)
        return -1;
    const int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        if (keepFd == 3)
            fcntl(3, F_SETFD, 0);
        else if (keepFd >= 0)
            dup2(keepFd, 3);
        dup2(in >= 0 ? in : devnull, 0);
        dup2(out >= 0 ? out : devnull, 1);
        dup2(devnull, 2);
        execve(program->c_str(), args.data(), envp.data());
        _exit(127);
    }
    close(devnull);
    return pid;
}

void stop(pid_t pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

} // namespace

XSession::XSession(Options options) {
    if (!findOnPath("Xvfb")) {
        m_error = "Xvfb not found: install the xvfb package (scripts/deps.sh installs it)";
        return;
    }
    if (options.windowManager && !findOnPath("openbox")) {
        m_error = "openbox not found: install the openbox package (scripts/deps.sh installs it)";
        return;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        m_error = "pipe failed";
        return;
    }
    std::vector<std::string> argv{"Xvfb", "-displayfd", "3", "-nolisten",
                                  "tcp",  "-screen",    "0", "800x600x24"};
    if (!options.xtest) {
        argv.push_back("-extension");
        argv.push_back("XTEST");
    }
    m_xvfb = spawn(argv, "", -1, -1, fds[1]);
    close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (number.find('\n') == std::string::npos && poll(&p, 1, 15000) > 0) {
        char buf[32];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        number.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (m_xvfb <= 0 || number.find('\n') == std::string::npos) {
        m_error = "Xvfb did not start";
        return;
    }
    m_display = ":" + number.substr(0, number.find('\n'));
    if (!options.windowManager)
        return;

    m_wm = spawn({"openbox", "--sm-disable"}, m_display, -1, -1);
    Display* d = XOpenDisplay(m_display.c_str());
    if (!d) {
        m_error = "cannot open " + m_display;
        return;
    }
    const Atom check = XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False);
    const bool ready = eventually(
        [&] {
            Atom type;
            int format;
            unsigned long items, after;
            unsigned char* data = nullptr;
            XGetWindowProperty(d, DefaultRootWindow(d), check, 0, 1, False, AnyPropertyType, &type,
                               &format, &items, &after, &data);
            if (data)
                XFree(data);
            return items > 0;
        },
        std::chrono::seconds(15));
    // A window mapped while openbox is still starting can be left unmapped:
    // wait until a probe window of ours gets mapped, asking again if need be.
    bool managing = false;
    if (ready) {
        const Window probe = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 10, 10, 0, 0, 0);
        XSelectInput(d, probe, StructureNotifyMask);
        for (int attempt = 0; attempt < 30 && !managing; ++attempt) {
            XMapWindow(d, probe);
            XFlush(d);
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
            while (!managing && std::chrono::steady_clock::now() < until) {
                XEvent e;
                if (XCheckTypedWindowEvent(d, probe, MapNotify, &e)) {
                    managing = true;
                    break;
                }
                pollfd input{ConnectionNumber(d), POLLIN, 0};
                poll(&input, 1, 20);
            }
            if (!managing)
                XUnmapWindow(d, probe);
        }
        XDestroyWindow(d, probe);
        XSync(d, False);
    }
    XCloseDisplay(d);
    if (!ready || !managing)
        m_error = "openbox did not start on " + m_display;
}

XSession::~XSession() {
    stop(m_wm);
    killServer();
}

void XSession::killServer() {
    stop(m_xvfb);
    m_xvfb = -1;
}

Subprocess::Subprocess(const std::vector<std::string>& argv, const std::string& display) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return;
    }
    m_pid = spawn(argv, display, in[0], out[1]);
    close(in[0]);
    close(out[1]);
    m_in = in[1];
    m_out = out[0];
    // A child that exits early must not kill us with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
}

Subprocess::~Subprocess() {
    if (m_in >= 0)
        close(m_in);
    if (m_out >= 0)
        close(m_out);
    if (m_pid > 0 && !m_status)
        stop(m_pid);
}

bool Subprocess::write(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(m_in, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void Subprocess::closeInput() {
    if (m_in >= 0)
        close(m_in);
    m_in = -1;
}

std::optional<std::string> Subprocess::readLine(std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const size_t nl = m_buffer.find('\n'); nl != std::string::npos) {
            std::string line = m_buffer.substr(0, nl);
            m_buffer.erase(0, nl + 1);
            return line;
        }
        if (m_eof)
            return std::nullopt;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd p{m_out, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buf[65536];
        const ssize_t n = read(m_out, buf, sizeof buf);
        if (n <= 0)
            m_eof = true;
        else
            m_buffer.append(buf, static_cast<size_t>(n));
    }
}

std::optional<std::string> Subprocess::waitForLine(const std::string& prefix,
                                                   std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        auto line = readLine(left);
        if (!line)
            return std::nullopt;
        if (line->rfind(prefix, 0) == 0)
            return line;
    }
}

std::optional<std::string> Subprocess::readAll(std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!m_eof) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd p{m_out, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buf[65536];
        const ssize_t n = read(m_out, buf, sizeof buf);
        if (n <= 0)
            m_eof = true;
        else
            m_buffer.append(buf, static_cast<size_t>(n));
    }
    return std::exchange(m_buffer, {});
}

std::optional<int> Subprocess::wait(std::chrono::milliseconds timeout) {
    if (m_status)
        return m_status;
    int status = 0;
    const bool done =
        eventually([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeout);
    if (!done)
        return std::nullopt;
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m_status;
}

bool xclipCopy(const std::string& display, const std::string& text,
               const std::vector<std::string>& extraArgs) {
    Display* d = XOpenDisplay(display.c_str());
    if (!d)
        return false;
    const Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
    const Window before = XGetSelectionOwner(d, clipboard);
    std::vector<std::string> argv{"xclip", "-selection", "clipboard"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    bool ok = false;
    {
        Subprocess xclip(argv, display);
        if (xclip.started()) {
            xclip.write(text);
            xclip.closeInput();
            ok = xclip.wait(std::chrono::seconds(10)) == 0;
        }
    }
    // xclip's background half takes over the selection; wait until it has.
    ok = ok && eventually([&] {
             const Window now = XGetSelectionOwner(d, clipboard);
             return now != None && now != before;
         });
    XCloseDisplay(d);
    return ok;
}

std::optional<std::string> xclipPaste(const std::string& display) {
    Subprocess xclip({"xclip", "-o", "-selection", "clipboard"}, display);
    if (!xclip.started())
        return std::nullopt;
    xclip.closeInput();
    auto out = xclip.readAll(std::chrono::seconds(120));
    if (xclip.wait(std::chrono::seconds(10)) != 0)
        return std::nullopt;
    return out;
}

} // namespace sorvane::testing
