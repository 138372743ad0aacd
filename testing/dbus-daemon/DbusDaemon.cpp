#include "testing/dbus-daemon/DbusDaemon.h"

#include <cstdlib>
#include <fstream>

namespace sorvane::testing {
namespace {

constexpr const char* kBusConfig =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=@DIR@</listen>
  <auth>EXTERNAL</auth>
@SERVICEDIRS@  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

} // namespace

DbusDaemon::DbusDaemon() {
    start({"dbus-daemon", "--session"}, "/dev/null");
}

DbusDaemon::DbusDaemon(const std::filesystem::path& workDir) {
    startWithConfig(workDir, "");
}

DbusDaemon::DbusDaemon(const std::filesystem::path& workDir,
                       const std::filesystem::path& serviceDir) {
    startWithConfig(workDir, "  <servicedir>" + serviceDir.string() + "</servicedir>\n");
}

void DbusDaemon::startWithConfig(const std::filesystem::path& workDir,
                                 const std::string& serviceDirs) {
    std::filesystem::create_directories(workDir);
    std::string config = kBusConfig;
    config.replace(config.find("@DIR@"), 5, workDir.string());
    config.replace(config.find("@SERVICEDIRS@"), 13, serviceDirs);
    const auto configPath = workDir / "bus.conf";
    std::ofstream(configPath) << config;
    start({"dbus-daemon", "--config-file=" + configPath.string()},
          (workDir / "dbus-daemon.log").string());
}

void DbusDaemon::start(std::vector<std::string> argv, const std::string& logFile) {
    // The address arrives on fd 3 of the child.
    argv.insert(argv.end(), {"--nofork", "--nosyslog", "--print-address=3"});
    ChildProcess::Options options;
    options.outputFd = 3;
    options.logFile = logFile;
    m_daemon = std::make_unique<ChildProcess>(argv, options);
    m_address = m_daemon->readLine(std::chrono::seconds(20)).value_or("");
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : m_name(name) {
    if (const char* old = std::getenv(name)) {
        m_had = true;
        m_old = old;
    }
    setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (m_had)
        setenv(m_name.c_str(), m_old.c_str(), 1);
    else
        unsetenv(m_name.c_str());
}

} // namespace sorvane::testing
