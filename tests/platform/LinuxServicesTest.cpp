// The logind and hostnamed adapters against fake services on a private bus.

#include "adapters/linux/system/LinuxHostInfo.h"
#include "adapters/linux/system/LogindPowerMonitor.h"
#include "testing/dbus-daemon/DbusDaemon.h"
#include "testing/fake-logind/FakeLogind.h"
#include "testing/test-env/LogCapture.h"

#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <poll.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <mutex>

namespace sorvane {
namespace {

using namespace std::chrono_literals;
using testing::FakeLogind;

// True once every holder of the inhibitor has closed it.
bool released(int readEnd, std::chrono::milliseconds wait) {
    pollfd p{readEnd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(wait.count())) <= 0)
        return false;
    char c;
    return read(readEnd, &c, 1) == 0;
}

class LinuxServices : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_bus.running()) << "dbus-daemon could not be started";
        m_env = std::make_unique<testing::ScopedEnv>("DBUS_SYSTEM_BUS_ADDRESS", m_bus.address());
    }
    testing::DbusDaemon m_bus;
    std::unique_ptr<testing::ScopedEnv> m_env;
};

TEST_F(LinuxServices, SleepIsDelayedUntilReleasedAndWakeTakesANewInhibitor) {
    FakeLogind logind;
    LogindPowerMonitor monitor;
    std::promise<PowerMonitor::ReleaseSleep> sleepSeen;
    std::promise<void> wakeSeen;
    monitor.start([&](PowerMonitor::ReleaseSleep release) { sleepSeen.set_value(std::move(release)); },
                  [&] { wakeSeen.set_value(); });

    ASSERT_TRUE(logind.waitForCalls(1));
    const auto first = logind.call(0);
    EXPECT_EQ(first.what, "sleep");
    EXPECT_EQ(first.mode, "delay");
    EXPECT_EQ(first.who, "Sorvane");
    EXPECT_FALSE(released(first.readEnd, 50ms)) << "the inhibitor must be held while running";

    logind.prepareForSleep(true);
    auto sleepFuture = sleepSeen.get_future();
    ASSERT_EQ(sleepFuture.wait_for(5s), std::future_status::ready);
    PowerMonitor::ReleaseSleep release = sleepFuture.get();
    EXPECT_FALSE(released(first.readEnd, 50ms)) << "sleep must wait for the release";
    release();
    EXPECT_TRUE(released(first.readEnd, 5000ms));
    release(); // a second call is harmless

    logind.prepareForSleep(false);
    ASSERT_EQ(wakeSeen.get_future().wait_for(5s), std::future_status::ready);
    ASSERT_TRUE(logind.waitForCalls(2));
    EXPECT_FALSE(released(logind.call(1).readEnd, 50ms));

    monitor.stop();
    EXPECT_TRUE(released(logind.call(1).readEnd, 5000ms)) << "stopping gives the inhibitor back";
}

TEST_F(LinuxServices, MissingLogindIsLoggedNotFatal) {
    testing::LogCapture log;
    LogindPowerMonitor monitor;
    monitor.start([](PowerMonitor::ReleaseSleep r) { r(); }, [] {});
    EXPECT_TRUE(log.waitFor("Sorvane: sleep inhibitor refused: "));
}

TEST(LinuxServicesNoBus, NoSystemBusIsLoggedNotFatal) {
    testing::ScopedEnv env("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/sorvane-test-bus");
    testing::LogCapture log;
    LogindPowerMonitor monitor;
    monitor.start([](PowerMonitor::ReleaseSleep r) { r(); }, [] {});
    EXPECT_TRUE(log.contains("Sorvane: sleep/wake notifications unavailable: "));
    monitor.stop();

    // Without hostnamed the kernel host name is used.
    char name[256] = {};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    EXPECT_EQ(LinuxHostInfo().displayName(), name);
}

TEST_F(LinuxServices, PrettyHostnameWins) {
    auto connection = sdbus::createSystemBusConnection("org.freedesktop.hostname1");
    auto object = sdbus::createObject(*connection, "/org/freedesktop/hostname1");
    std::mutex mutex;
    std::string pretty = "K\u00fcchen-PC";
    object->registerProperty("PrettyHostname").onInterface("org.freedesktop.hostname1").withGetter([&] {
        std::lock_guard lock(mutex);
        return pretty;
    });
    object->finishRegistration();
    connection->enterEventLoopAsync();

    EXPECT_EQ(LinuxHostInfo().displayName(), "K\u00fcchen-PC");
    {
        std::lock_guard lock(mutex);
        pretty.clear();
    }
    // An empty pretty name falls back to the kernel's
    char name[256] = {};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    EXPECT_EQ(LinuxHostInfo().displayName(), name);
    connection->leaveEventLoop();
}

} // namespace
} // namespace sorvane
