#include "testing/wayland-session/WaylandSession.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace sorvane::testing {
namespace {

// True once something accepts connections on the Unix socket at `path`.
bool accepts(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return ok;
}

std::string tail(const std::string& file) {
    std::ifstream in(file);
    std::ostringstream out;
    out << in.rdbuf();
    const std::string text = out.str();
    return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

} // namespace

WaylandSession::WaylandSession(Compositor compositor) {
    const bool kwin = compositor == Compositor::KWin;
    const auto program = findProgram(kwin ? "kwin_wayland" : "sway");
    if (!program) {
        m_missing = true;
        m_error = kwin ? "kwin_wayland not found: install the kwin-wayland package"
                       : "sway not found: install the sway package (scripts/deps.sh installs it)";
        return;
    }
    std::vector<std::string> argv;
    const passwd* user = nullptr;
    if (geteuid() == 0) {
        user = getpwnam(kUser);
        if (!user) {
            m_error = std::string("sway refuses to run as root, and there is no user ") + kUser +
                      " to run the compositor as: run scripts/deps.sh as root to add it";
            return;
        }
        argv = {"setpriv", "--reuid=" + std::to_string(user->pw_uid),
                "--regid=" + std::to_string(user->pw_gid), "--clear-groups", "--"};
    }
    char dir[] = "/tmp/sorvane-wayland-XXXXXX";
    if (!mkdtemp(dir)) {
        m_error = std::string("cannot make a runtime directory: ") + std::strerror(errno);
        return;
    }
    m_dir = dir;
    const std::string config = m_dir + "/config";
    std::ofstream(config) << "xwayland disable\n";
    if (kwin) {
        const std::string copy = m_dir + "/bin/kwin_wayland";
        std::error_code error;
        std::filesystem::create_directory(m_dir + "/bin", error);
        std::filesystem::copy_file(*program, copy, error);
        if (error) {
            m_error = "cannot copy kwin_wayland: " + error.message();
            return;
        }
        argv.insert(argv.end(), {copy, "--virtual", "--no-lockscreen", "--no-global-shortcuts",
                                 "--socket", "wayland-kwin"});
    } else {
        argv.insert(argv.end(), {*program, "-c", config});
    }
    ChildProcess::Options options;
    options.env = {{"XDG_RUNTIME_DIR", m_dir},         {"HOME", m_dir},
                   {"WLR_BACKENDS", "headless"},       {"WLR_LIBINPUT_NO_DEVICES", "1"},
                   {"WLR_RENDERER", "pixman"},         {"WAYLAND_DISPLAY", std::nullopt},
                   {"DISPLAY", std::nullopt},          {"SWAYSOCK", std::nullopt},
                   {"XDG_CONFIG_HOME", std::nullopt}, {"DBUS_SESSION_BUS_ADDRESS", std::nullopt}};
    if (user) {
        bool handed = chown(m_dir.c_str(), user->pw_uid, user->pw_gid) == 0;
        std::error_code ignored;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(m_dir, ignored))
            handed = handed && lchown(entry.path().c_str(), user->pw_uid, user->pw_gid) == 0;
        if (!handed) {
            m_error = "cannot hand " + m_dir + " to " + kUser + ": " + std::strerror(errno);
            return;
        }
    }
    options.logFile = m_dir + "/compositor.log";
    m_compositor = std::make_unique<ChildProcess>(argv, options);
    if (!m_compositor->started()) {
        m_error = "cannot start " + *program;
        return;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (m_display.empty() && std::chrono::steady_clock::now() < until) {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir, ignored)) {
            const std::string name = entry.path().filename();
            if (name.rfind("wayland-", 0) == 0 && name.find('.') == std::string::npos &&
                entry.is_socket(ignored) && accepts(entry.path()))
                m_display = entry.path();
        }
        if (m_display.empty()) {
            if (m_compositor->wait(std::chrono::milliseconds(20)).has_value())
                break;
        }
    }
    if (m_display.empty())
        m_error = *program + " did not start; its log ends:\n" + tail(m_dir + "/compositor.log");
}

WaylandSession::~WaylandSession() {
    killCompositor();
    if (!m_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
}

void WaylandSession::killCompositor() {
    m_compositor.reset();
}

EnvChanges WaylandSession::clientEnv() const {
    return {{"WAYLAND_DISPLAY", m_display}, {"XDG_RUNTIME_DIR", m_dir}, {"DISPLAY", std::nullopt}};
}

namespace {
ChildProcess::Options clientOptions(const WaylandSession& session) {
    ChildProcess::Options options;
    options.env = session.clientEnv();
    options.pipeInput = true;
    options.outputFd = 1;
    return options;
}
} // namespace

WaylandSubprocess::WaylandSubprocess(const std::vector<std::string>& argv,
                                     const WaylandSession& session)
    : ChildProcess(argv, clientOptions(session)) {}

bool wlCopy(const WaylandSession& session, const std::string& text,
            const std::vector<std::string>& extraArgs) {
    std::vector<std::string> argv{"wl-copy"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    WaylandSubprocess copy(argv, session);
    if (!copy.started())
        return false;
    copy.write(text);
    copy.closeInput();
    return copy.wait(std::chrono::seconds(60)) == 0;
}

std::optional<std::string> wlPaste(const WaylandSession& session) {
    WaylandSubprocess paste({"wl-paste", "--no-newline"}, session);
    if (!paste.started())
        return std::nullopt;
    paste.closeInput();
    auto out = paste.readAll(std::chrono::seconds(120));
    if (paste.wait(std::chrono::seconds(10)) != 0)
        return std::nullopt;
    return out;
}

} // namespace sorvane::testing
