// The real sorvane program started on a data directory where a FIFO or a link to
// /dev/zero stands in place of one of its files. It must never hang in open() or
// read until memory runs out: with a bad history or peers file it starts, says
// so in one line and ends on SIGTERM; with a bad device_id it stops at once with
// a fatal error naming the file (a device id is never replaced behind the
// user's back).

#include "testing/child-process/ChildProcess.h"
#include "testing/test-env/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace sorvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

size_t linesWith(const std::string& text, std::string_view needle) {
    std::istringstream in(text);
    size_t n = 0;
    for (std::string line; std::getline(in, line);)
        n += line.find(needle) != std::string::npos;
    return n;
}

struct Case {
    const char* file;
    bool fifo; // else a link to /dev/zero
};

class ProgramStartTest : public ::testing::TestWithParam<Case> {
protected:
    // Starts sorvane with no display and no reachable bus: the stores are all
    // that matter here.
    std::unique_ptr<testing::ChildProcess> start() {
        const fs::path data = m_tmp.path() / "data" / "org.sorvane.app";
        fs::create_directories(data);
        ::chmod(data.c_str(), 0700);
        const fs::path target = data / GetParam().file;
        if (GetParam().fifo)
            EXPECT_EQ(::mkfifo(target.c_str(), 0600), 0);
        else
            fs::create_symlink("/dev/zero", target);
        const std::string nowhere = "unix:path=" + (m_tmp.path() / "no-bus").string();
        testing::ChildProcess::Options options;
        options.env = {{"XDG_DATA_HOME", (m_tmp.path() / "data").string()},
                       {"XDG_CONFIG_HOME", (m_tmp.path() / "config").string()},
                       {"DBUS_SYSTEM_BUS_ADDRESS", nowhere},
                       {"DBUS_SESSION_BUS_ADDRESS", nowhere},
                       {"DISPLAY", std::nullopt}};
        options.logFile = log().string();
        return std::make_unique<testing::ChildProcess>(std::vector<std::string>{SORVANE_PROGRAM},
                                                       options);
    }
    fs::path log() const { return m_tmp.path() / "sorvane.log"; }

    // Polls the program's output until it holds `needle` (the program has no
    // other way to say it is ready).
    bool awaitLine(std::string_view needle, std::chrono::milliseconds timeout = 15s) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < until) {
            if (slurp(log()).find(needle) != std::string::npos)
                return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    testing::TempDir m_tmp;
};

TEST_P(ProgramStartTest, StartsAndAnswersSigtermOrStopsWithAFatalError) {
    auto program = start();
    const std::string file = GetParam().file;
    if (file == "device_id") {
        auto status = program->wait(15s);
        ASSERT_TRUE(status.has_value()) << "sorvane hung:\n" << slurp(log());
        EXPECT_NE(*status, 0);
        EXPECT_LT(*status, 128) << "sorvane died of a signal:\n" << slurp(log());
        EXPECT_TRUE(awaitLine("Sorvane: fatal init error: ")) << slurp(log());
        EXPECT_TRUE(awaitLine("device_id")) << slurp(log());
        return;
    }
    ASSERT_TRUE(awaitLine("Sorvane: ready (device ")) << "sorvane never got ready:\n" << slurp(log());
    EXPECT_EQ(linesWith(slurp(log()), file), 1u) << slurp(log());
    ::kill(program->pid(), SIGTERM);
    auto status = program->wait(15s);
    ASSERT_TRUE(status.has_value()) << "sorvane did not end on SIGTERM:\n" << slurp(log());
    EXPECT_EQ(*status, 0);
    EXPECT_TRUE(awaitLine("Sorvane: shutdown complete"));
}

INSTANTIATE_TEST_SUITE_P(
    Files, ProgramStartTest,
    ::testing::Values(Case{"history.json", true}, Case{"history.json", false},
                      Case{"peers.json", true}, Case{"peers.json", false},
                      Case{"device_id", true}, Case{"device_id", false}),
    [](const auto& p) {
        std::string name = p.param.file;
        std::replace(name.begin(), name.end(), '.', '_');
        return name + (p.param.fifo ? "_fifo" : "_devZero");
    });

} // namespace
} // namespace sorvane
