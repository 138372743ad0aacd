#include "testing/keyring-daemon/KeyringDaemon.h"

#include <sys/stat.h>

namespace sorvane::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool gdbus(const std::string& busAddress, const std::vector<std::string>& args) {
    std::vector<std::string> argv{"gdbus"};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess::Options options;
    options.env = {{"DBUS_SESSION_BUS_ADDRESS", busAddress}};
    return ChildProcess(argv, options).wait(30s) == 0;
}

KeyringDaemon::KeyringDaemon(const std::string& busAddress, const fs::path& home) {
    const auto runtime = home / "runtime";
    fs::create_directories(home / "data");
    fs::create_directories(runtime);
    ::chmod(runtime.c_str(), 0700);
    ChildProcess::Options options;
    options.env = {{"DBUS_SESSION_BUS_ADDRESS", busAddress},
                   {"HOME", home.string()},
                   {"XDG_DATA_HOME", (home / "data").string()},
                   {"XDG_CONFIG_HOME", (home / "config").string()},
                   {"XDG_RUNTIME_DIR", runtime.string()},
                   {"DISPLAY", std::nullopt},
                   {"WAYLAND_DISPLAY", std::nullopt}};
    options.pipeInput = true;
    options.logFile = (home / "gnome-keyring.log").string();
    m_daemon = std::make_unique<ChildProcess>(
        std::vector<std::string>{"gnome-keyring-daemon", "--foreground", "--unlock",
                                 "--components=secrets"},
        options);
    m_daemon->write("sorvane-test");
    m_daemon->closeInput();
    // Ready once it owns the Secret Service name.
    m_running = gdbus(busAddress, {"wait", "--session", "--timeout", "20", "org.freedesktop.secrets"});
}

} // namespace sorvane::testing
