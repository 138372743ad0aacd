// A private dbus-daemon for one test: started in the constructor, killed in the
// destructor. Its address can be exported as DBUS_SYSTEM_BUS_ADDRESS or
// DBUS_SESSION_BUS_ADDRESS so that code under test talks to it instead of the
// machine's buses.
#pragma once

#include <string>
#include <sys/types.h>

namespace sorvane::testing {

class DbusDaemon {
public:
    DbusDaemon();
    ~DbusDaemon();
    DbusDaemon(const DbusDaemon&) = delete;
    DbusDaemon& operator=(const DbusDaemon&) = delete;

    // Empty when the daemon could not be started (dbus-daemon missing).
    const std::string& address() const { return m_address; }
    bool running() const { return !m_address.empty(); }

private:
    pid_t m_pid = -1;
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
