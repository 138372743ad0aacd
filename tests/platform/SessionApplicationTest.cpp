// One running instance on a private session bus: the name, the standard
// interface, and the commands another process sends it; and what happens to
// the program's bus connections when a bus daemon goes away.

#include "adapters/linux/session/SessionApplication.h"
#include "adapters/linux/system/LogindPowerMonitor.h"
#include "testing/dbus-daemon/DbusDaemon.h"
#include "testing/test-env/LogCapture.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace sorvane {
namespace {

using namespace std::chrono_literals;

// Collects the actions handed over on the bus's thread.
struct Received {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> actions;

    SessionApplication::ActionHandler handler() {
        return [this](const std::string& action) {
            std::lock_guard lock(mutex);
            actions.push_back(action);
            changed.notify_all();
        };
    }
    std::vector<std::string> waitFor(size_t count) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, 5s, [&] { return actions.size() >= count; });
        return actions;
    }
};

TEST(SessionApplication, OneInstanceAnswersCommandsAndRefusesUnknownOnes) {
    testing::DbusDaemon bus;
    ASSERT_TRUE(bus.running());
    testing::ScopedEnv session("DBUS_SESSION_BUS_ADDRESS", bus.address());

    std::string error;
    EXPECT_EQ(sendToRunningInstance("toggle-panel", &error), RemoteResult::notRunning);

    Received received;
    auto first = SessionApplication::claim(received.handler());
    ASSERT_EQ(first.outcome, SessionApplication::Claim::owned) << first.error;

    // A second program finds the first and takes nothing.
    Received unused;
    auto second = SessionApplication::claim(unused.handler());
    EXPECT_EQ(second.outcome, SessionApplication::Claim::alreadyRunning);
    EXPECT_EQ(second.instance, nullptr);

    for (const auto& action : SessionApplication::actions())
        EXPECT_EQ(sendToRunningInstance(action, &error), RemoteResult::done) << action << ": " << error;
    EXPECT_EQ(sendToRunningInstance(SessionApplication::kActivate, &error), RemoteResult::done) << error;
    EXPECT_EQ(sendToRunningInstance("format-disk", &error), RemoteResult::failed);
    EXPECT_NE(error.find("unknown action: format-disk"), std::string::npos) << error;

    std::vector<std::string> expected = SessionApplication::actions();
    expected.push_back("activate");
    EXPECT_EQ(received.waitFor(expected.size()), expected);

    // Once it is gone the name is free again, for a new instance.
    first.instance.reset();
    EXPECT_EQ(sendToRunningInstance("quit", &error), RemoteResult::notRunning);
    auto third = SessionApplication::claim(unused.handler());
    EXPECT_EQ(third.outcome, SessionApplication::Claim::owned) << third.error;
}

TEST(SessionApplication, WithoutASessionBusItSaysSo) {
    testing::ScopedEnv session("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/sorvane-bus");
    auto claim = SessionApplication::claim([](const std::string&) {});
    EXPECT_EQ(claim.outcome, SessionApplication::Claim::noBus);
    EXPECT_FALSE(claim.error.empty());
    std::string error;
    EXPECT_EQ(sendToRunningInstance("toggle-panel", &error), RemoteResult::failed);
    EXPECT_FALSE(error.empty());
}

// A bus daemon that goes away (restarted, or gone before the program at the
// end of a session) ends that connection's loop with one line in the log; the
// program goes on, and everything still shuts down in order.
TEST(BusLoss, ABusThatGoesAwayIsLoggedAndTheProgramGoesOn) {
    testing::LogCapture log;
    auto sessionBus = std::make_unique<testing::DbusDaemon>();
    auto systemBus = std::make_unique<testing::DbusDaemon>();
    ASSERT_TRUE(sessionBus->running() && systemBus->running());
    testing::ScopedEnv session("DBUS_SESSION_BUS_ADDRESS", sessionBus->address());
    testing::ScopedEnv system("DBUS_SYSTEM_BUS_ADDRESS", systemBus->address());
    Received received;
    auto claim = SessionApplication::claim(received.handler());
    ASSERT_EQ(claim.outcome, SessionApplication::Claim::owned) << claim.error;
    LogindPowerMonitor power;
    power.start([](PowerMonitor::ReleaseSleep release) { release(); }, [] {});

    sessionBus.reset();
    systemBus.reset();
    const auto lost = [&] {
        return log.contains("Sorvane: lost the connection to the session bus (org.sorvane.app)") &&
               log.contains("Sorvane: lost the connection to the system bus (logind)");
    };
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (!lost() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(lost());
    power.stop();
    claim.instance.reset();
}

} // namespace
} // namespace sorvane
