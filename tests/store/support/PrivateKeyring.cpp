#include "store/support/PrivateKeyring.h"

#include <sys/stat.h>

#include <fstream>

namespace sorvane::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kBusConfig =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=@DIR@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

} // namespace

PrivateSessionBus::PrivateSessionBus(const std::filesystem::path& workDir) {
    std::filesystem::create_directories(workDir);
    std::string config = kBusConfig;
    config.replace(config.find("@DIR@"), 5, workDir.string());
    auto configPath = workDir / "bus.conf";
    std::ofstream(configPath) << config;
    Program::Options options;
    options.outputFile = (workDir / "dbus-daemon.log").string();
    options.reportFd = 3;
    m_daemon = std::make_unique<Program>(
        std::vector<std::string>{"dbus-daemon", "--config-file=" + configPath.string(), "--nofork",
                                 "--nosyslog", "--print-address=3"},
        options);
    m_address = m_daemon->readReportLine(20s);
}

KeyringDaemon::KeyringDaemon(const std::string& busAddress, const std::filesystem::path& home) {
    auto runtime = home / "runtime";
    std::filesystem::create_directories(home / "data");
    std::filesystem::create_directories(runtime);
    ::chmod(runtime.c_str(), 0700);
    Program::Options options;
    options.env = {{"DBUS_SESSION_BUS_ADDRESS", busAddress},
                   {"HOME", home.string()},
                   {"XDG_DATA_HOME", (home / "data").string()},
                   {"XDG_CONFIG_HOME", (home / "config").string()},
                   {"XDG_RUNTIME_DIR", runtime.string()},
                   {"DISPLAY", std::nullopt},
                   {"WAYLAND_DISPLAY", std::nullopt}};
    options.stdinText = kPassword;
    options.outputFile = (home / "gnome-keyring.log").string();
    m_daemon =
        std::make_unique<Program>(std::vector<std::string>{"gnome-keyring-daemon", "--foreground",
                                                           "--unlock", "--components=secrets"},
                                  options);
    // Ready once it owns the Secret Service name.
    m_running =
        gdbus(busAddress, {"wait", "--session", "--timeout", "20", "org.freedesktop.secrets"});
}

void KeyringDaemon::stop() {
    if (m_daemon)
        m_daemon->stop();
    m_running = false;
}

bool gdbus(const std::string& busAddress, const std::vector<std::string>& args) {
    std::vector<std::string> argv{"gdbus"};
    argv.insert(argv.end(), args.begin(), args.end());
    Program::Options options;
    options.env = {{"DBUS_SESSION_BUS_ADDRESS", busAddress}};
    Program program(argv, options);
    return program.waitExit(30s) == 0;
}

std::optional<std::string> missingSecretServiceTool() {
    for (const char* tool : {"dbus-daemon", "gnome-keyring-daemon", "gdbus"}) {
        if (!findProgram(tool))
            return std::string(tool);
    }
    return std::nullopt;
}

} // namespace sorvane::testing
