// Start-up of the real program on a session bus that accepts connections and
// never answers (a hung session, or a keyring that never replies): the time
// from exec until it has given up on the keyring and goes on without sync
// (target: at most 5 s), beside the same start on a session bus that is simply
// absent, measured in the same run.

#include "testing/child-process/ChildProcess.h"
#include "testing/dbus-daemon/DbusDaemon.h"
#include "testing/test-env/TempDir.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace sorvane::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool logHas(const std::filesystem::path& file, const std::vector<std::string>& needles) {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        for (const auto& n : needles)
            if (line.find(n) != std::string::npos)
                return true;
    return false;
}

// Seconds from exec until the keyring's answer (or the lack of one) is logged.
double startOnce(const std::filesystem::path& dir, const std::string& sessionAddress,
                 const std::string& systemAddress, const std::string& name) {
    const auto log = dir / (name + ".log");
    ChildProcess::Options options;
    options.logFile = log.string();
    options.env = {{"DISPLAY", std::nullopt},
                   {"WAYLAND_DISPLAY", std::nullopt},
                   {"HOME", (dir / name).string()},
                   {"DBUS_SYSTEM_BUS_ADDRESS", systemAddress},
                   {"DBUS_SESSION_BUS_ADDRESS", sessionAddress},
                   {"XDG_DATA_HOME", (dir / name / "data").string()},
                   {"XDG_CONFIG_HOME", (dir / name / "config").string()}};
    const auto start = Clock::now();
    ChildProcess sorvane({SORVANE_PROGRAM}, options);
    const std::vector<std::string> resolved = {"Sorvane: ready", "did not answer in time",
                                               "sync waits for the keyring"};
    while (!logHas(log, resolved) && Clock::now() - start < 60s)
        std::this_thread::sleep_for(5ms);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::kill(sorvane.pid(), SIGKILL);
    sorvane.wait(10s);
    return seconds;
}

} // namespace

int main() {
    TempDir dir;
    DbusDaemon system(dir.path() / "system-bus");
    // The silent bus: a socket that accepts and never says a word.
    const auto socketPath = dir.path() / "silent.sock";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 16) != 0) {
        std::perror("silent bus");
        return 1;
    }
    std::vector<int> accepted;
    std::atomic<bool> serving{true};
    std::thread acceptor([&] {
        while (serving) {
            const int c = ::accept(listener, nullptr, nullptr);
            if (c >= 0)
                accepted.push_back(c);
        }
    });

    const double silent = startOnce(dir.path(), "unix:path=" + socketPath.string(), system.address(), "silent");
    const double absent = startOnce(dir.path(), "unix:path=" + (dir.path() / "none").string(),
                                    system.address(), "absent");
    std::printf("start-up to the key resolved or given up: silent session bus %.2f s (target <= 5 s), "
                "absent session bus %.2f s\n",
                silent, absent);

    serving = false;
    ::shutdown(listener, SHUT_RDWR);
    ::close(listener);
    acceptor.join();
    for (int c : accepted)
        ::close(c);
    return 0;
}
