// The global shortcut: its stored value, its name as the desktop writes it,
// and the manager that keeps it registered with the desktop.
//
// The key code and the modifier mask keep the stored encoding of the user
// defaults ("hotkey_keyCode", "hotkey_modifiers"): virtual key codes such as
// 9 for V, and a mask of 0x100 (Super), 0x200 (Shift), 0x800 (Alt), 0x1000
// (Ctrl). One table maps those key codes to keysyms, used both by the grab and
// by the recorder, so that what is recorded is what gets grabbed.
//
// Thread-safety: HotKeyCombo and the free functions are pure (any thread);
// load/save follow UserDefaults (main thread); HotKeyManager is main-thread only.
#pragma once

#include "ports/AppServices.h"
#include "ports/UserDefaults.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace sorvane {

namespace hotkeymask {
inline constexpr uint32_t super = 0x0100;
inline constexpr uint32_t shift = 0x0200;
inline constexpr uint32_t alt = 0x0800;
inline constexpr uint32_t ctrl = 0x1000;
} // namespace hotkeymask

inline constexpr std::string_view hotKeyCodeKey = "hotkey_keyCode";
inline constexpr std::string_view hotKeyModifiersKey = "hotkey_modifiers";

struct HotKeyCombo {
    uint32_t keyCode = 9;        // V
    uint32_t modifiers = 0x0300; // Shift + Super

    bool operator==(const HotKeyCombo&) const = default;

    // "Ctrl+Alt+Shift+Super+" in that order, each only when its bit is set
    // (other bits are not shown), then the key's name: "Shift+Super+V".
    std::string displayString() const;

    // The stored pair when "hotkey_keyCode" is present (a missing or non-integer
    // "hotkey_modifiers" reads 0); otherwise the default. A stored value outside
    // 0…4294967295 gives the default.
    static HotKeyCombo load(const UserDefaults& defaults);
    void save(UserDefaults& defaults) const;
};

// "A"…"Z", "0"…"9", "Space", "Return", "Tab", "F1"…"F12"; any other code as
// "(53)".
std::string keyName(uint32_t keyCode);

// The keysym of a stored key code (lower-case letters), absent for codes
// outside the table.
std::optional<uint32_t> keysymForKeyCode(uint32_t keyCode);
// The stored key code of a keysym (either case of a letter), absent for keys
// outside the table.
std::optional<uint32_t> keyCodeForKeysym(uint32_t keysym);

// The combination as a shortcut trigger the desktop portal understands:
// modifiers CTRL, ALT, SHIFT, LOGO (Super) in that order, then the key's keysym
// name ("SHIFT+LOGO+v", "CTRL+F5", "LOGO+space"). Absent for keys outside the
// table, and for a combination without modifiers.
std::optional<std::string> shortcutTrigger(const HotKeyCombo& combo);

// The one line the preferences show under the recorder when the desktop does
// not bind the shortcut (`result` other than registered), naming the way round.
std::string unavailableHotKeyNote(HotKeyOutcome::Result result);

// Keeps one combination registered with the desktop's hot-key service and
// says so in the log. With a service that answers later, the answer is logged
// when it comes ("Sorvane: hotkey registered (…)" with the desktop's trigger,
// or "Sorvane: hotkey registration failed (…)" and the way round it), and the
// preferences read it from here.
class HotKeyManager {
public:
    explicit HotKeyManager(HotKeyService& service);
    // Releases the grab.
    ~HotKeyManager();
    HotKeyManager(const HotKeyManager&) = delete;
    HotKeyManager& operator=(const HotKeyManager&) = delete;

    // What a press runs (posted to the main queue by the service).
    void setCallback(std::function<void()> callback);
    // Stores and registers `combo` without releasing an earlier grab; logs
    // "Sorvane: hotkey registered (…)" or "Sorvane: hotkey registration failed
    // (status N)". Returns the status.
    int applyCombo(const HotKeyCombo& combo);
    // Releases the current grab, saves `combo`, registers it and logs
    // "Sorvane: hotkey changed to …".
    void rebind(const HotKeyCombo& combo, UserDefaults& defaults);

    const HotKeyCombo& combo() const { return m_combo; }
    bool isRegistered() const { return m_registered; }

    // The trigger as the desktop reported it for the current combination;
    // absent until it does, and with services that do not say.
    const std::optional<std::string>& desktopTrigger() const { return m_desktopTrigger; }
    // One line for the preferences when the desktop cannot or will not bind the
    // shortcut, naming the way round it; absent otherwise.
    const std::optional<std::string>& unavailableNote() const { return m_unavailableNote; }
    // Runs (main thread) after each later answer of the desktop has been taken.
    void setOnStatusChange(std::function<void()> onChange) { m_onStatusChange = std::move(onChange); }

private:
    void take(const HotKeyOutcome& outcome);

    HotKeyService& m_service;
    HotKeyCombo m_combo;
    bool m_registered = false;
    // The desktop confirmed the current combination at least once.
    bool m_confirmed = false;
    std::optional<std::string> m_desktopTrigger;
    std::optional<std::string> m_unavailableNote;
    std::function<void()> m_onStatusChange;
};

} // namespace sorvane
