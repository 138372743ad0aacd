#include "adapters/linux/install/XdgInstaller.h"

#include "base/Log.h"

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

extern char** environ;

namespace sorvane {
namespace fs = std::filesystem;

namespace {

constexpr const char* kEntryName = "org.sorvane.app.desktop";
constexpr const char* kOptOutKey = "launch_at_login_opted_out";
constexpr const char* kMoveFailedTitle = "Couldn't move to Applications";
// The largest autostart entry read; ours is a few hundred bytes.
constexpr std::streamsize kMaxEntryBytes = 64 * 1024;

std::string errnoText(int error) { return std::strerror(error); }

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// `path` lies inside `folder` (compared lexically, both made absolute).
bool isInside(const fs::path& path, const fs::path& folder) {
    const fs::path p = path.lexically_normal();
    const fs::path f = folder.lexically_normal();
    auto pi = p.begin();
    for (auto fi = f.begin(); fi != f.end(); ++fi, ++pi) {
        if (fi->empty()) // the trailing "" of "dir/"
            continue;
        if (pi == p.end() || *pi != *fi)
            return false;
    }
    return pi != p.end();
}

// The [Desktop Entry] group's keys, with string escapes undone; nullopt when the
// text is not a desktop entry.
std::optional<std::map<std::string, std::string>> parseDesktopEntry(const std::string& text) {
    std::map<std::string, std::string> keys;
    std::istringstream in(text);
    std::string line;
    bool inEntry = false;
    bool sawEntry = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        if (line[0] == '[') {
            if (line.back() != ']')
                return std::nullopt;
            inEntry = line == "[Desktop Entry]";
            if (inEntry) {
                if (sawEntry)
                    return std::nullopt;
                sawEntry = true;
            }
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            return std::nullopt;
        if (!sawEntry)
            return std::nullopt; // keys before the first group
        if (!inEntry)
            continue;
        std::string key = line.substr(0, eq);
        while (!key.empty() && key.back() == ' ')
            key.pop_back();
        size_t start = eq + 1;
        while (start < line.size() && line[start] == ' ')
            ++start;
        std::string value;
        for (size_t i = start; i < line.size(); ++i) {
            if (line[i] != '\\' || i + 1 == line.size()) {
                value += line[i];
                continue;
            }
            switch (line[++i]) {
            case 's': value += ' '; break;
            case 'n': value += '\n'; break;
            case 't': value += '\t'; break;
            case 'r': value += '\r'; break;
            case '\\': value += '\\'; break;
            default: value += '\\'; value += line[i]; break;
            }
        }
        keys[key] = value;
    }
    if (!sawEntry)
        return std::nullopt;
    return keys;
}

// The first argument of an Exec value (string escapes already undone), or
// nullopt when the quoting is broken.
std::optional<std::string> firstExecArgument(const std::string& exec) {
    size_t i = 0;
    while (i < exec.size() && exec[i] == ' ')
        ++i;
    std::string arg;
    if (i < exec.size() && exec[i] == '"') {
        for (++i; i < exec.size(); ++i) {
            const char c = exec[i];
            if (c == '"')
                return arg;
            if (c == '\\' && i + 1 < exec.size() && std::strchr("\"`$\\", exec[i + 1])) {
                arg += exec[++i];
                continue;
            }
            if (c == '%' && i + 1 < exec.size() && exec[i + 1] == '%')
                ++i;
            arg += c;
        }
        return std::nullopt; // unterminated
    }
    for (; i < exec.size() && exec[i] != ' '; ++i) {
        if (exec[i] == '%' && i + 1 < exec.size() && exec[i + 1] == '%')
            ++i;
        arg += exec[i];
    }
    if (arg.empty())
        return std::nullopt;
    return arg;
}

std::optional<std::string> readSmallFile(const fs::path& path) {
    if (!isRegularFile(path.string()))
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string text(static_cast<size_t>(kMaxEntryBytes), '\0');
    in.read(text.data(), kMaxEntryBytes);
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// A temporary file beside `target`, opened for writing; -1 with errno set.
int createTempBeside(const fs::path& target, std::string& tempPath) {
    tempPath = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    return ::mkstemp(tempPath.data());
}

// Writes `text` to `target` through a temporary file renamed over it, with
// `mode`. Nothing on success.
std::optional<std::string> writeAtomically(const fs::path& target, const std::string& text, mode_t mode) {
    std::string temp;
    const int fd = createTempBeside(target, temp);
    if (fd < 0)
        return "cannot write in " + target.parent_path().string() + ": " + errnoText(errno);
    const bool ok = writeAll(fd, text.data(), text.size()) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (!ok || ::rename(temp.c_str(), target.c_str()) != 0) {
        const int failure = ok ? errno : error;
        ::unlink(temp.c_str());
        return "cannot write " + target.string() + ": " + errnoText(failure);
    }
    return std::nullopt;
}

std::vector<char*> argvOf(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

std::optional<std::string> spawnDetached(const std::vector<std::string>& command) {
    std::vector<std::string> args = command;
    auto argv = argvOf(args);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, argv[0], nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (error != 0)
        return "cannot start " + command.front() + ": " + errnoText(error);
    // Reaped in the background: the copy outlives this process, which quits soon.
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return std::nullopt;
}

std::optional<std::string> spawnAndWait(const std::vector<std::string>& command) {
    std::vector<std::string> args = command;
    auto argv = argvOf(args);
    pid_t pid = 0;
    const int error = ::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (error != 0)
        return "cannot start " + command.front() + ": " + errnoText(error);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return "cannot wait for " + command.front() + ": " + errnoText(errno);
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return std::nullopt;
    if (WIFEXITED(status))
        return command.front() + " exited with status " + std::to_string(WEXITSTATUS(status));
    return command.front() + " was ended by a signal";
}

} // namespace

XdgInstaller::Environment XdgInstaller::processEnvironment() {
    return [](const char* name) -> std::optional<std::string> {
        if (const char* value = std::getenv(name))
            return std::string(value);
        return std::nullopt;
    };
}

XdgInstaller::XdgInstaller(UserDefaults& defaults, AlertPresenter& alerts, Options options)
    : m_defaults(defaults), m_alerts(alerts), m_options(std::move(options)) {
    if (!m_options.environment)
        m_options.environment = processEnvironment();
    if (!m_options.launch)
        m_options.launch = spawnDetached;
    if (!m_options.runPrivileged)
        m_options.runPrivileged = spawnAndWait;
}

std::optional<std::string> XdgInstaller::env(const char* name) const {
    auto value = m_options.environment(name);
    if (value && value->empty())
        return std::nullopt;
    return value;
}

fs::path XdgInstaller::home() const {
    if (auto h = env("HOME"); h && (*h)[0] == '/')
        return *h;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "/";
}

fs::path XdgInstaller::autostartEntryPath() const {
    fs::path config;
    if (auto c = env("XDG_CONFIG_HOME"); c && (*c)[0] == '/')
        config = *c;
    else
        config = home() / ".config";
    return config / "autostart" / kEntryName;
}

fs::path XdgInstaller::applicationsFolder() const { return home() / "Applications"; }

fs::path XdgInstaller::stablePath() const {
    if (auto appImage = env("APPIMAGE"); appImage && (*appImage)[0] == '/' && isRegularFile(*appImage))
        return *appImage;
    if (!m_options.executable.empty())
        return m_options.executable;
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : self;
}

std::string XdgInstaller::execValueFor(const std::string& path) {
    // An argument with a reserved character is quoted, and inside the quotes
    // " ` $ and \ take a backslash. % is doubled everywhere (field codes).
    static constexpr const char* kReserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string arg;
    if (path.find_first_of(kReserved) != std::string::npos) {
        arg = "\"";
        for (char c : path) {
            if (std::strchr("\"`$\\", c))
                arg += '\\';
            arg += c;
            if (c == '%')
                arg += '%';
        }
        arg += '"';
    } else {
        for (char c : path) {
            arg += c;
            if (c == '%')
                arg += '%';
        }
    }
    // The Exec value is a string value too: its own escapes come on top.
    std::string value;
    for (char c : arg) {
        switch (c) {
        case '\\': value += "\\\\"; break;
        case '\n': value += "\\n"; break;
        case '\t': value += "\\t"; break;
        case '\r': value += "\\r"; break;
        default: value += c; break;
        }
    }
    return value;
}

std::string XdgInstaller::autostartEntryText() const {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Sorvane\n"
           "Comment=Sync your clipboard with your phone over Bluetooth\n"
           "Exec=" +
           execValueFor(stablePath().string()) +
           "\n"
           "Icon=org.sorvane.app\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool XdgInstaller::isExecutable(const std::string& program) const {
    if (program.find('/') != std::string::npos)
        return program[0] == '/' && isRegularFile(program) && ::access(program.c_str(), X_OK) == 0;
    std::istringstream path(env("PATH").value_or("/usr/local/bin:/usr/bin:/bin"));
    std::string folder;
    while (std::getline(path, folder, ':')) {
        if (folder.empty() || folder[0] != '/')
            continue;
        const std::string candidate = folder + "/" + program;
        if (isRegularFile(candidate) && ::access(candidate.c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

bool XdgInstaller::isLaunchAtLoginEnabled() const {
    const auto text = readSmallFile(autostartEntryPath());
    if (!text)
        return false;
    const auto keys = parseDesktopEntry(*text);
    if (!keys)
        return false;
    auto value = [&](const char* key) -> std::string {
        auto it = keys->find(key);
        return it == keys->end() ? std::string() : it->second;
    };
    if (value("Hidden") == "true" || value("X-GNOME-Autostart-enabled") == "false")
        return false;
    const auto program = firstExecArgument(value("Exec"));
    return program && isExecutable(*program);
}

bool XdgInstaller::isInstalledInApplications() const {
    const fs::path path = stablePath();
    if (path.empty())
        return false;
    for (const fs::path& prefix : {applicationsFolder(), fs::path("/usr"), fs::path("/opt")})
        if (isInside(path, prefix))
            return true;
    return false;
}

std::optional<std::string> XdgInstaller::registerEntry() {
    const fs::path entry = autostartEntryPath();
    if (stablePath().empty())
        return std::string("the program's own path is unknown");
    std::error_code error;
    fs::create_directories(entry.parent_path(), error);
    if (error)
        return "cannot create " + entry.parent_path().string() + ": " + error.message();
    return writeAtomically(entry, autostartEntryText(), 0644);
}

std::optional<std::string> XdgInstaller::unregisterEntry() {
    const fs::path entry = autostartEntryPath();
    if (::unlink(entry.c_str()) == 0 || errno == ENOENT || errno == ENOTDIR)
        return std::nullopt;
    return "cannot remove " + entry.string() + ": " + errnoText(errno);
}

std::optional<std::string> XdgInstaller::setLaunchAtLogin(bool enabled) {
    return enabled ? registerEntry() : unregisterEntry();
}

void XdgInstaller::enableLaunchAtLoginByDefault() {
    if (m_defaults.boolValue(kOptOutKey) || isLaunchAtLoginEnabled())
        return;
    if (auto failure = registerEntry())
        logLine("Sorvane: launch-at-login register failed: " + *failure);
    else
        logLine("Sorvane: launch-at-login registered (default on)");
}

// ------------------------------------------------------------ the move

std::optional<std::string> XdgInstaller::copyInto(const fs::path& from, const fs::path& to) {
    std::error_code error;
    fs::create_directories(to.parent_path(), error);
    int failure = error ? error.value() : 0;
    std::string description = error ? "cannot create " + to.parent_path().string() + ": " + error.message() : "";
    if (!failure) {
        const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0)
            return "cannot read " + from.string() + ": " + errnoText(errno);
        std::string temp;
        const int out = createTempBeside(to, temp);
        if (out < 0) {
            failure = errno;
            description = "cannot write in " + to.parent_path().string() + ": " + errnoText(failure);
        } else {
            char buffer[64 * 1024];
            ssize_t n = 0;
            bool ok = true;
            while (ok && (n = ::read(in, buffer, sizeof buffer)) != 0) {
                if (n < 0) {
                    ok = errno == EINTR;
                    continue;
                }
                ok = writeAll(out, buffer, static_cast<size_t>(n));
            }
            ok = ok && ::fchmod(out, 0755) == 0 && ::fsync(out) == 0;
            failure = ok ? 0 : errno;
            ::close(out);
            if (ok && ::rename(temp.c_str(), to.c_str()) != 0) {
                ok = false;
                failure = errno;
            }
            if (!ok) {
                ::unlink(temp.c_str());
                description = "cannot copy to " + to.string() + ": " + errnoText(failure);
            }
        }
        ::close(in);
        if (!failure)
            return std::nullopt;
    }
    if (failure != EACCES && failure != EPERM)
        return description;
    // A folder the user may not write: ask for the administrator's consent.
    logLine("Sorvane: " + description + " \u2014 asking for permission to copy");
    if (auto refused = m_options.runPrivileged({"pkexec", "cp", "--", from.string(), to.string()}))
        return description + " (" + *refused + ")";
    return std::nullopt;
}

bool XdgInstaller::promptAndMoveIfNeeded() {
    const auto appImage = env("APPIMAGE");
    if (!appImage || (*appImage)[0] != '/' || !isRegularFile(*appImage))
        return false;
    const fs::path from = *appImage;
    const fs::path folder = applicationsFolder();
    if (isInside(from, folder))
        return false;
    if (!m_alerts.confirm({"Move Sorvane to Applications folder?",
                           "Sorvane works best from the Applications folder \u2014 system permissions "
                           "(Accessibility, Bluetooth) are keyed by binary path and are most reliable when "
                           "Sorvane lives in ~/Applications. Move it now?",
                           "Move to Applications Folder"}))
        return false;
    const fs::path to = folder / from.filename();
    std::error_code error;
    if (fs::exists(fs::symlink_status(to, error)) &&
        !m_alerts.confirm({"Sorvane is already installed",
                           "Replace the existing copy in ~/Applications with this version?", "Replace"}))
        return false;
    if (auto failure = copyInto(from, to)) {
        logLine(std::string("Sorvane: ") + kMoveFailedTitle + ": " + *failure);
        m_alerts.showError(kMoveFailedTitle, "Couldn't copy Sorvane into ~/Applications.\n\n" + *failure);
        return false;
    }
    if (auto failure = m_options.launch({to.string()})) {
        const std::string text = "Sorvane was copied to " + to.string() + " but could not be started there: " + *failure;
        logLine("Sorvane: " + text);
        m_alerts.showError(kMoveFailedTitle, text);
        return false;
    }
    logLine("Sorvane: moved to " + to.string() + "; the copy there takes over");
    return true;
}

} // namespace sorvane
