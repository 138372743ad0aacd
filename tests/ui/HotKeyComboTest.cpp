// The global shortcut's stored combination: its name as the desktop writes it,
// how stored values read back, the key table shared by grab and recorder, and
// the manager's registration and rebinding as the log and the service see them.
#include "store/UserDefaultsFile.h"
#include "testing/desktop-doubles/DesktopDoubles.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/TempDir.h"
#include "ui/HotKeyCombo.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace sorvane {
namespace {

TEST(HotKeyCombo, DisplayStringNamesTheModifiersInOrderAndTheKey) {
    EXPECT_EQ(HotKeyCombo{}.displayString(), "Shift+Super+V");
    EXPECT_EQ((HotKeyCombo{49, 0x1100}).displayString(), "Ctrl+Super+Space");
    EXPECT_EQ((HotKeyCombo{122, 0}).displayString(), "F1");
    EXPECT_EQ((HotKeyCombo{36, 0x1800}).displayString(), "Ctrl+Alt+Return");
    EXPECT_EQ((HotKeyCombo{0, 0x1b00}).displayString(), "Ctrl+Alt+Shift+Super+A");
    EXPECT_EQ((HotKeyCombo{53, 0x0200}).displayString(), "Shift+(53)") << "a code outside the table";
    EXPECT_EQ((HotKeyCombo{9, 0x0400 | 0x0200}).displayString(), "Shift+V") << "bits of no modifier stay unnamed";
    EXPECT_EQ(keyName(111), "F12");
    EXPECT_EQ(keyName(29), "0");
}

TEST(HotKeyCombo, StoredValuesReadBackAndBadOnesGiveTheDefault) {
    testing::TempDir dir;
    const auto path = dir.path() / "defaults.json";
    {
        UserDefaultsFile defaults(path);
        EXPECT_EQ(HotKeyCombo::load(defaults), HotKeyCombo{}) << "nothing stored";
        HotKeyCombo{122, 0x1800}.save(defaults);
    }
    UserDefaultsFile defaults(path);
    EXPECT_EQ(defaults.integer("hotkey_keyCode"), 122);
    EXPECT_EQ(defaults.integer("hotkey_modifiers"), 0x1800);
    EXPECT_EQ(HotKeyCombo::load(defaults), (HotKeyCombo{122, 0x1800})) << "across a restart";

    defaults.remove("hotkey_modifiers");
    EXPECT_EQ(HotKeyCombo::load(defaults), (HotKeyCombo{122, 0})) << "missing modifiers";
    defaults.set("hotkey_modifiers", "Shift");
    EXPECT_EQ(HotKeyCombo::load(defaults), (HotKeyCombo{122, 0})) << "modifiers of another type";

    defaults.set("hotkey_modifiers", 0x0300);
    defaults.set("hotkey_keyCode", std::numeric_limits<uint32_t>::max());
    EXPECT_EQ(HotKeyCombo::load(defaults), (HotKeyCombo{std::numeric_limits<uint32_t>::max(), 0x0300}))
        << "the largest stored value still fits";
    const int64_t tooLarge = int64_t{std::numeric_limits<uint32_t>::max()} + 1;
    for (const auto& [key, value] : std::vector<std::pair<std::string, nlohmann::json>>{
             {"hotkey_keyCode", -1},
             {"hotkey_keyCode", tooLarge},
             {"hotkey_keyCode", "V"},
             {"hotkey_keyCode", 9.5},
             {"hotkey_modifiers", -0x100},
             {"hotkey_modifiers", tooLarge}}) {
        defaults.set("hotkey_keyCode", 49);
        defaults.set("hotkey_modifiers", 0x1100);
        defaults.set(key, value);
        EXPECT_EQ(HotKeyCombo::load(defaults), HotKeyCombo{}) << key << " = " << value.dump();
    }
    defaults.remove("hotkey_keyCode");
    EXPECT_EQ(HotKeyCombo::load(defaults), HotKeyCombo{}) << "modifiers without a key";
}

// Every key the table names: its keysym maps back to it, from either case of a
// letter, and the name of the key is what the keysym means.
TEST(HotKeyCombo, EveryKeyRoundTripsThroughItsKeysym) {
    int named = 0;
    for (uint32_t code = 0; code < 256; ++code) {
        const auto keysym = keysymForKeyCode(code);
        if (!keysym) {
            EXPECT_EQ(keyName(code), "(" + std::to_string(code) + ")");
            continue;
        }
        ++named;
        EXPECT_EQ(keyCodeForKeysym(*keysym), code) << keyName(code);
        const std::string name = keyName(code);
        if (name.size() == 1 && name[0] >= 'A' && name[0] <= 'Z') {
            EXPECT_EQ(*keysym, static_cast<uint32_t>(name[0] - 'A' + 'a')) << "letters grab their lower case";
            EXPECT_EQ(keyCodeForKeysym(static_cast<uint32_t>(name[0])), code) << "upper case " << name;
        } else if (name.size() == 1) {
            EXPECT_EQ(*keysym, static_cast<uint32_t>(name[0])) << "digits are their own keysym";
        }
    }
    EXPECT_EQ(named, 26 + 10 + 3 + 12);
    EXPECT_EQ(keysymForKeyCode(9), 0x76u);      // v
    EXPECT_EQ(keysymForKeyCode(49), 0x20u);     // space
    EXPECT_EQ(keysymForKeyCode(36), 0xff0du);   // Return
    EXPECT_EQ(keysymForKeyCode(48), 0xff09u);   // Tab
    EXPECT_EQ(keysymForKeyCode(122), 0xffbeu);  // F1
    EXPECT_EQ(keysymForKeyCode(111), 0xffc9u);  // F12
    EXPECT_FALSE(keysymForKeyCode(53));
    EXPECT_FALSE(keyCodeForKeysym(0xff1b)) << "Escape is no shortcut key";
    EXPECT_FALSE(keyCodeForKeysym('!'));
    EXPECT_FALSE(keyCodeForKeysym('[')) << "the character after Z is no letter";
}

TEST(HotKeyManager, RegistersLogsAndRebindsThroughTheService) {
    testing::TempDir dir;
    UserDefaultsFile defaults(dir.path() / "defaults.json");
    testing::NoHotKey service;
    testing::LogCapture log;
    {
        HotKeyManager manager(service);
        int presses = 0;
        manager.setCallback([&] { ++presses; });
        ASSERT_TRUE(service.pressed);
        service.pressed();
        EXPECT_EQ(presses, 1) << "the service's presses reach the callback";

        EXPECT_EQ(manager.applyCombo(HotKeyCombo::load(defaults)), 0);
        EXPECT_EQ(service.grabbed, std::pair(9u, 0x0300u));
        EXPECT_TRUE(manager.isRegistered());
        EXPECT_TRUE(log.contains("Sorvane: hotkey registered (Shift+Super+V)"));

        manager.rebind({49, 0x1100}, defaults);
        EXPECT_EQ(service.grabbed, std::pair(49u, 0x1100u));
        EXPECT_EQ(HotKeyCombo::load(defaults), (HotKeyCombo{49, 0x1100})) << "saved";
        EXPECT_EQ(manager.combo(), (HotKeyCombo{49, 0x1100}));
        EXPECT_TRUE(log.contains("Sorvane: hotkey registered (Ctrl+Super+Space)"));
        EXPECT_TRUE(log.contains("Sorvane: hotkey changed to Ctrl+Super+Space"));

        // Another program holds the new combination: the old grab is gone all
        // the same, the failure is logged with its status, and the choice is kept.
        service.status = 10;
        manager.rebind({122, 0}, defaults);
        EXPECT_FALSE(service.grabbed) << "the old combination stays grabbed";
        EXPECT_FALSE(manager.isRegistered());
        EXPECT_TRUE(log.contains("Sorvane: hotkey registration failed (status 10)"));
        EXPECT_TRUE(log.contains("Sorvane: hotkey changed to F1"));
        EXPECT_EQ(HotKeyCombo::load(defaults), (HotKeyCombo{122, 0}));

        service.status = 0;
        manager.rebind({9, 0x0300}, defaults);
        EXPECT_EQ(service.grabbed, std::pair(9u, 0x0300u));
    }
    EXPECT_FALSE(service.grabbed) << "the manager releases its grab when it goes";
}

} // namespace
} // namespace sorvane
