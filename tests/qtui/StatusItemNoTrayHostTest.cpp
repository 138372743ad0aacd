// The tray icon on a desktop without any tray: no StatusNotifierWatcher on the
// session bus and no XEmbed tray on the X server.
#include "adapters/qt/ui/SorvaneStatusItem.h"
#include "testing/tray-session/TraySession.h"
#include "testing/test-env/LogCapture.h"

#include <gtest/gtest.h>

#include <QSystemTrayIcon>
#include <QTimer>

namespace sorvane {
namespace {

TEST(StatusItemWithoutTrayHost, LogsOneLineAndKeepsRunning) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    testing::LogCapture log;
    SorvaneStatusItem item;
    int activations = 0;
    item.setOnActivate([&] { ++activations; });
    item.install();
    item.install();
    item.setIconChoice("scissors");
    item.animateIconPulse();
    EXPECT_TRUE(item.isPulsing());
    // The restore runs with no tray to draw in, and the event loop goes on.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !item.isPulsing(); }, 3000));
    bool later = false;
    QTimer::singleShot(0, [&] { later = true; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return later; }, 1000));

    EXPECT_EQ(log.lines(), std::vector<std::string>{"Sorvane: no system tray found; open the panel with the "
                                                    "hot-key or \"sorvane --toggle-panel\""});
    EXPECT_EQ(activations, 0);
    for (const auto& name : testing::busNames(testing::trayTestBusAddress()))
        EXPECT_NE(name.rfind("org.kde.StatusNotifierItem", 0), 0u) << name << " registered without a watcher";
}

} // namespace
} // namespace sorvane

int main(int argc, char** argv) { return sorvane::testing::runTrayTests(argc, argv, nullptr); }
