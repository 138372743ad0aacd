// A private session bus (its own dbus-daemon, no service activation, so nothing
// on the machine is started behind the test's back) and a gnome-keyring-daemon
// on it, unlocked with a password, keeping its keyrings in a private home. Both
// are killed when their objects die. Not thread-safe.
#pragma once

#include "store/support/Subprocess.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace sorvane::testing {

class PrivateSessionBus {
public:
    // Starts dbus-daemon with a config in `workDir`. address() is empty on failure.
    explicit PrivateSessionBus(const std::filesystem::path& workDir);
    const std::string& address() const { return m_address; }

private:
    std::unique_ptr<Program> m_daemon;
    std::string m_address;
};

class KeyringDaemon {
public:
    static constexpr const char* kPassword = "sorvane-test";

    // Starts gnome-keyring-daemon (secrets component only) on `busAddress` with
    // HOME, XDG_DATA_HOME and XDG_RUNTIME_DIR under `home`, unlocking (or, the
    // first time, creating) the login keyring. running() is false when it did not
    // take the Secret Service name within the deadline.
    KeyringDaemon(const std::string& busAddress, const std::filesystem::path& home);
    bool running() const { return m_running; }
    void stop();

private:
    std::unique_ptr<Program> m_daemon;
    bool m_running = false;
};

// Runs `gdbus <args...>` against the bus; true when it exits with 0.
bool gdbus(const std::string& busAddress, const std::vector<std::string>& args);

// The programs the Secret Service tests need; the name of the first one missing.
std::optional<std::string> missingSecretServiceTool();

} // namespace sorvane::testing
