// A private dbus-daemon for one test: started in the constructor, killed in the
// destructor. Its address can be exported as DBUS_SYSTEM_BUS_ADDRESS or
// DBUS_SESSION_BUS_ADDRESS so that code under test talks to it instead of the
// machine's buses.
#pragma once

#include "testing/child-process/ChildProcess.h"

#include <filesystem>
#include <memory>
#include <string>

namespace sorvane::testing {

class DbusDaemon {
public:
    // With the machine's session-bus configuration.
    DbusDaemon();
    // With a configuration of its own in `workDir` that activates no services,
    // so nothing on the machine is started behind the test's back; the daemon
    // logs to workDir/dbus-daemon.log.
    explicit DbusDaemon(const std::filesystem::path& workDir);
    // The same, activating the services whose .service files are in `serviceDir`
    // (and no others).
    DbusDaemon(const std::filesystem::path& workDir, const std::filesystem::path& serviceDir);
    DbusDaemon(const DbusDaemon&) = delete;
    DbusDaemon& operator=(const DbusDaemon&) = delete;

    // Empty when the daemon could not be started (dbus-daemon missing).
    const std::string& address() const { return m_address; }
    bool running() const { return !m_address.empty(); }

private:
    void start(std::vector<std::string> argv, const std::string& logFile);
    void startWithConfig(const std::filesystem::path& workDir, const std::string& serviceDirs);

    std::unique_ptr<ChildProcess> m_daemon;
    std::string m_address;
};

// Sets an environment variable for the lifetime of the object, then restores it.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    bool m_had = false;
    std::string m_old;
};

} // namespace sorvane::testing
