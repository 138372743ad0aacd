#include "store/AtomicFile.h"
#include "store/UserDefaultsFile.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace sorvane {
namespace {

TEST(UserDefaultsFile, KeepsTypesAcrossRestarts) {
    testing::TempDir dir;
    const auto path = dir.path() / "config" / "org.sorvane.app" / "defaults.json";
    {
        UserDefaultsFile defaults(path);
        EXPECT_FALSE(defaults.object("auto_paste"));
        defaults.set("auto_paste", false);
        defaults.set("tray_icon", "clipboard");
        defaults.set("hotkey_keyCode", 9);
        defaults.set("auto_update_check", "yes"); // not a Bool
    }
    UserDefaultsFile again(path);
    EXPECT_EQ(again.boolIfPresent("auto_paste"), false);
    EXPECT_EQ(again.string("tray_icon"), "clipboard");
    EXPECT_EQ(again.integer("hotkey_keyCode"), 9);
    EXPECT_FALSE(again.boolIfPresent("auto_update_check")) << "a non-Bool is no Bool";
    EXPECT_FALSE(again.boolValue("missing"));
    again.remove("tray_icon");
    EXPECT_FALSE(UserDefaultsFile(path).string("tray_icon"));

    struct stat st{};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(path.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(UserDefaultsFile, UnreadableFileIsKeptAsideAndDefaultsApply) {
    testing::TempDir dir;
    const auto path = dir.path() / "defaults.json";
    store::writeFileAtomically(path, "[1, 2, not json");
    testing::LogCapture log;
    UserDefaultsFile defaults(path);
    EXPECT_TRUE(log.contains("is not a JSON object"));
    EXPECT_FALSE(defaults.object("auto_paste"));
    auto aside = path;
    aside += ".unreadable";
    EXPECT_EQ(store::readFile(aside, {.maxBytes = 1 << 20}), "[1, 2, not json");
    defaults.set("auto_paste", true);
    EXPECT_EQ(UserDefaultsFile(path).boolIfPresent("auto_paste"), true);
}

} // namespace
} // namespace sorvane
