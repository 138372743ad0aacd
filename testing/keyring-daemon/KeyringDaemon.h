// A private gnome-keyring-daemon, the Secret Service the key store talks to.
#pragma once

#include "testing/child-process/ChildProcess.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace sorvane::testing {

// Runs `gdbus <args...>` against the bus; true when it exits with 0.
bool gdbus(const std::string& busAddress, const std::vector<std::string>& args);

// gnome-keyring-daemon (secrets component only) on the bus, with HOME and the
// XDG directories under `home`, unlocking (or, the first time, creating) the
// login keyring with a password. running() is false when it did not take the
// Secret Service name in time.
class KeyringDaemon {
public:
    KeyringDaemon(const std::string& busAddress, const std::filesystem::path& home);
    bool running() const { return m_running; }
    void stop() {
        m_daemon->stop();
        m_running = false;
    }

private:
    std::unique_ptr<ChildProcess> m_daemon;
    bool m_running = false;
};

} // namespace sorvane::testing
