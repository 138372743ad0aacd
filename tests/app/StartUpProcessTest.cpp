// The real sorvane program started without an X display: its first log line is
// "Sorvane starting…", the line about the missing display comes right after,
// and SIGTERM ends it cleanly. A private dbus-daemon stands in for the system
// bus (no bluetoothd on it), the session bus is unreachable.

#include "testing/child-process/ChildProcess.h"
#include "testing/dbus-daemon/DbusDaemon.h"
#include "testing/test-env/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace sorvane::testing {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> linesOf(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool anyContains(const std::vector<std::string>& lines, std::string_view needle) {
    for (const auto& l : lines)
        if (l.find(needle) != std::string::npos)
            return true;
    return false;
}

TEST(StartUpProcess, TheStartLineComesFirstAndTheMissingDisplayFollowsIt) {
    DbusDaemon bus;
    if (!bus.running())
        GTEST_SKIP() << "dbus-daemon not available";
    TempDir dir;
    const auto log = dir.path() / "sorvane.log";
    ChildProcess::Options options;
    options.logFile = log.string();
    options.env = {{"DISPLAY", std::nullopt},
                   {"WAYLAND_DISPLAY", std::nullopt},
                   {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()},
                   {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir.path() / "no-bus").string()},
                   {"XDG_DATA_HOME", (dir.path() / "data").string()},
                   {"XDG_CONFIG_HOME", (dir.path() / "config").string()},
                   {"LANG", "C.UTF-8"}};
    ChildProcess sorvane({SORVANE_PROGRAM}, options);
    ASSERT_TRUE(sorvane.started());

    // The program only writes its log; wait for the ready line in it.
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (!anyContains(linesOf(log), "Sorvane: ready") && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(50ms);
    ::kill(sorvane.pid(), SIGTERM);
    EXPECT_EQ(sorvane.wait(20s), 0);

    const auto lines = linesOf(log);
    ASSERT_GE(lines.size(), 2u) << "no log from sorvane";
    EXPECT_EQ(lines[0], "Sorvane starting\u2026");
    EXPECT_NE(lines[1].find("Sorvane: no X display (DISPLAY not set)"), std::string::npos)
        << lines[1];
    EXPECT_TRUE(anyContains(lines, "Sorvane: ready"));
    EXPECT_EQ(lines.back(), "Sorvane: shutdown complete");
}

} // namespace
} // namespace sorvane::testing
