// The global shortcut's stored combination: its name as the desktop writes it,
// how stored values read back, the key table shared by grab and recorder, and
// the manager's registration and rebinding as the log and the service see them.
#include "store/UserDefaultsFile.h"
#include "testing/desktop-doubles/DesktopDoubles.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/TempDir.h"
#include "ui/HotKeyCombo.h"

#include <gtest/gtest.h>

#include <cctype>
#include <limits>
#include <string>
#include <tuple>

namespace sorvane {
namespace {

// Its name shows the modifiers as Ctrl, Alt, Shift, Super, then the key. The
// portal's trigger form has CTRL, ALT, SHIFT, LOGO in that order, then the
// keysym's name; nothing for a key outside the table or a bare key. Bits of no
// modifier are left out of both.
TEST(HotKeyCombo, DisplayStringAndShortcutTriggerNameTheModifiersInOrderAndTheKey) {
    const std::tuple<HotKeyCombo, std::string, std::optional<std::string>> names[] = {
        {{}, "Shift+Super+V", "SHIFT+LOGO+v"},
        {{49, 0x1100}, "Ctrl+Super+Space", "CTRL+LOGO+space"},
        {{36, 0x1800}, "Ctrl+Alt+Return", "CTRL+ALT+Return"},
        {{48, 0x0800}, "Alt+Tab", "ALT+Tab"},
        {{96, 0x1000}, "Ctrl+F5", "CTRL+F5"},
        {{111, 0x0100}, "Super+F12", "LOGO+F12"},
        {{0, 0x1b00}, "Ctrl+Alt+Shift+Super+A", "CTRL+ALT+SHIFT+LOGO+a"},
        {{25, 0x1b00}, "Ctrl+Alt+Shift+Super+9", "CTRL+ALT+SHIFT+LOGO+9"},
        {{0, 0x1000 | 0x0400}, "Ctrl+A", "CTRL+a"},
        {{9, 0x0400 | 0x0200}, "Shift+V", "SHIFT+v"},
        {{53, 0x0200}, "Shift+(53)", std::nullopt}, // outside the table
        {{122, 0}, "F1", std::nullopt},
        {{111, 0}, "F12", std::nullopt},
        {{29, 0}, "0", std::nullopt},
        {{9, 0}, "V", std::nullopt},
        {{9, 0x0400}, "V", std::nullopt}};
    for (const auto& [combo, name, trigger] : names) {
        EXPECT_EQ(combo.displayString(), name);
        EXPECT_EQ(shortcutTrigger(combo), trigger) << name;
    }
}

TEST(HotKeyCombo, StoredValuesReadBackAndBadOnesGiveTheDefault) {
    testing::TempDir dir;
    {
        UserDefaultsFile defaults(dir.path() / "defaults.json");
        EXPECT_EQ(HotKeyCombo::load(defaults), HotKeyCombo{}) << "nothing stored";
        HotKeyCombo{122, 0x1800}.save(defaults);
    }
    UserDefaultsFile defaults(dir.path() / "defaults.json");
    EXPECT_EQ(defaults.integer("hotkey_keyCode"), 122);
    EXPECT_EQ(defaults.integer("hotkey_modifiers"), 0x1800);
    EXPECT_EQ(HotKeyCombo::load(defaults), (HotKeyCombo{122, 0x1800})) << "across a restart";
    // Over Ctrl+Super+Space, one stored value changed (null: removed), and what then reads back.
    constexpr uint32_t max = std::numeric_limits<uint32_t>::max();
    const int64_t tooLarge = int64_t{max} + 1;
    const std::tuple<std::string, nlohmann::json, HotKeyCombo> stored[] = {
        {"hotkey_modifiers", nullptr, {49, 0}}, {"hotkey_modifiers", "Shift", {49, 0}},
        {"hotkey_keyCode", max, {max, 0x1100}}, {"hotkey_keyCode", -1, {}}, {"hotkey_keyCode", tooLarge, {}},
        {"hotkey_keyCode", "V", {}}, {"hotkey_keyCode", 9.5, {}}, {"hotkey_keyCode", nullptr, {}},
        {"hotkey_modifiers", -0x100, {}}, {"hotkey_modifiers", tooLarge, {}}};
    for (const auto& [key, value, combo] : stored) {
        HotKeyCombo{49, 0x1100}.save(defaults);
        value.is_null() ? defaults.remove(key) : defaults.set(key, value);
        EXPECT_EQ(HotKeyCombo::load(defaults), combo) << key << " = " << value.dump();
    }
}

// Every key the table names has X's keysym for its name and maps back from it
// (a letter from either case).
TEST(HotKeyCombo, EveryKeyRoundTripsThroughItsKeysym) {
    int named = 0;
    for (uint32_t code = 0; code < 256; ++code) {
        const auto keysym = keysymForKeyCode(code);
        const std::string name = keyName(code);
        if (!keysym) {
            EXPECT_EQ(name, "(" + std::to_string(code) + ")");
            continue;
        }
        ++named;
        const unsigned xKeysym = name.size() == 1 ? std::tolower(name[0]) // a-z, 0-9
                                 : name == "Space"  ? 0x20
                                 : name == "Return" ? 0xff0d
                                 : name == "Tab"    ? 0xff09
                                                    : 0xffbe + std::stoul(name.substr(1)) - 1; // F1…F12
        EXPECT_EQ(*keysym, xKeysym) << name;
        EXPECT_EQ(keyCodeForKeysym(*keysym), code) << name;
        if (name.size() == 1) {
            EXPECT_EQ(keyCodeForKeysym(static_cast<uint32_t>(name[0])), code) << "upper case " << name;
        }
    }
    EXPECT_EQ(named, 26 + 10 + 3 + 12);
    for (const uint32_t keysym : {0xff1bu /* Escape */, uint32_t{'!'}, uint32_t{'['} /* after Z */})
        EXPECT_FALSE(keyCodeForKeysym(keysym)) << keysym;
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
        EXPECT_TRUE(log.contains("Sorvane: hotkey registered (Shift+Super+V)"));
        manager.rebind({49, 0x1100}, defaults);
        EXPECT_EQ(service.grabbed, std::pair(49u, 0x1100u));
        EXPECT_TRUE(log.contains("Sorvane: hotkey registered (Ctrl+Super+Space)"));
        EXPECT_TRUE(log.contains("Sorvane: hotkey changed to Ctrl+Super+Space"));
        // Held by another program: the old grab is gone all the same, and the choice kept.
        service.status = 10;
        manager.rebind({122, 0}, defaults);
        EXPECT_FALSE(service.grabbed) << "the old combination stays grabbed";
        EXPECT_FALSE(manager.isRegistered());
        EXPECT_TRUE(log.contains("Sorvane: hotkey registration failed (status 10)"));
        EXPECT_TRUE(log.contains("Sorvane: hotkey changed to F1"));
        EXPECT_EQ(HotKeyCombo::load(defaults), (HotKeyCombo{122, 0})) << "saved";
        service.status = 0;
        manager.rebind({9, 0x0300}, defaults);
        EXPECT_EQ(service.grabbed, std::pair(9u, 0x0300u));
    }
    EXPECT_FALSE(service.grabbed) << "the manager releases its grab when it goes";
}

} // namespace
} // namespace sorvane
