// Times SigningKeyStore::resolve against a session bus that takes the connection
// and never answers (a hung dbus-daemon or keyring): how long start-up waits before
// the keyring's silence is reported as a refusal. Target: at most 5 s per attempt
// (the D-Bus default would be 25 s, and a silent authentication never ends).
//
// Each run is a forked child, so that every resolve starts with GLib's state as a
// new process has it. The listening socket is this program's own, in a fresh
// temporary directory; nothing on the machine's buses is touched.
//
// Usage: keyring_bench [runs]   (default 3)
#include "adapters/linux/secret/LinuxSecretStore.h"
#include "store/SigningKeyStore.h"
#include "testing/child-process/ChildProcess.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/TempDir.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace sorvane;

double millisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    testing::TempDir dir;
    const auto socketPath = dir.path() / "silent-bus";
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (listener < 0 || socketPath.string().size() >= sizeof(address.sun_path)) {
        std::fprintf(stderr, "cannot make the silent bus's socket\n");
        return 1;
    }
    std::strcpy(address.sun_path, socketPath.c_str());
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener, 16) != 0) {
        std::perror("silent bus");
        return 1;
    }

    std::printf("SigningKeyStore::resolve against a session bus that never answers "
                "(target: <= 5000 ms)\n");
    std::vector<double> figures;
    for (int run = 0; run < runs; ++run) {
        const auto data = dir.path() / ("data-" + std::to_string(run));
        std::filesystem::create_directories(data);
        const auto forked = Clock::now();
        auto outcome = testing::runForked([&](int fd) {
            testing::applyEnv({{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + socketPath.string()}});
            testing::LogCapture quiet;
            SigningKeyStore keys(std::make_unique<LinuxSecretStore>(data));
            const auto start = Clock::now();
            SigningKeyResult result = keys.resolve(true);
            const double ms = millisSince(start);
            testing::writeAll(fd,
                              std::to_string(ms) + " " +
                                  (result.key ? "a key (wrong)" : "refused: " + result.refusal));
            return 0;
        });
        const double whole = millisSince(forked);
        if (outcome.status != 0) {
            std::fprintf(stderr, "run %d: the child did not finish: %s\n", run,
                         outcome.output.c_str());
            return 1;
        }
        const double ms = std::atof(outcome.output.c_str());
        figures.push_back(ms);
        std::printf("run %d: resolve %8.1f ms | fork to answer %8.1f ms | %s\n", run, ms, whole,
                    outcome.output.substr(outcome.output.find(' ') + 1).c_str());
    }
    ::close(listener);
    std::sort(figures.begin(), figures.end());
    std::printf("median %.1f ms, max %.1f ms over %d runs\n", figures[figures.size() / 2],
                figures.back(), runs);
    return 0;
}
