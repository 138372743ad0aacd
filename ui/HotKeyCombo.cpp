#include "ui/HotKeyCombo.h"

#include "base/Log.h"

#include <array>
#include <limits>

namespace sorvane {
namespace {

struct KeyEntry {
    uint32_t keyCode;
    std::string_view name;
    uint32_t keysym;
};

// The keys a shortcut can name: stored key code, shown name, keysym.
constexpr std::array<KeyEntry, 51> kKeys{{
    {0, "A", 'a'},   {11, "B", 'b'}, {8, "C", 'c'},  {2, "D", 'd'},  {14, "E", 'e'}, {3, "F", 'f'},
    {5, "G", 'g'},   {4, "H", 'h'},  {34, "I", 'i'}, {38, "J", 'j'}, {40, "K", 'k'}, {37, "L", 'l'},
    {46, "M", 'm'},  {45, "N", 'n'}, {31, "O", 'o'}, {35, "P", 'p'}, {12, "Q", 'q'}, {15, "R", 'r'},
    {1, "S", 's'},   {17, "T", 't'}, {32, "U", 'u'}, {9, "V", 'v'},  {13, "W", 'w'}, {7, "X", 'x'},
    {16, "Y", 'y'},  {6, "Z", 'z'},  {29, "0", '0'}, {18, "1", '1'}, {19, "2", '2'}, {20, "3", '3'},
    {21, "4", '4'},  {23, "5", '5'}, {22, "6", '6'}, {26, "7", '7'}, {28, "8", '8'}, {25, "9", '9'},
    {49, "Space", 0x0020}, {36, "Return", 0xff0d}, {48, "Tab", 0xff09},
    {122, "F1", 0xffbe}, {120, "F2", 0xffbf}, {99, "F3", 0xffc0},  {118, "F4", 0xffc1},
    {96, "F5", 0xffc2},  {97, "F6", 0xffc3},  {98, "F7", 0xffc4},  {100, "F8", 0xffc5},
    {101, "F9", 0xffc6}, {109, "F10", 0xffc7}, {103, "F11", 0xffc8}, {111, "F12", 0xffc9},
}};

const KeyEntry* entryForKeyCode(uint32_t keyCode) {
    for (const auto& entry : kKeys)
        if (entry.keyCode == keyCode)
            return &entry;
    return nullptr;
}

// A stored integer that fits the key code or mask; absent otherwise.
std::optional<uint32_t> storedUint32(const UserDefaults& defaults, std::string_view key) {
    const auto value = defaults.integer(key);
    if (!value || *value < 0 || *value > int64_t{std::numeric_limits<uint32_t>::max()})
        return std::nullopt;
    return static_cast<uint32_t>(*value);
}

} // namespace

std::string HotKeyCombo::displayString() const {
    std::string text;
    if (modifiers & hotkeymask::ctrl)
        text += "Ctrl+";
    if (modifiers & hotkeymask::alt)
        text += "Alt+";
    if (modifiers & hotkeymask::shift)
        text += "Shift+";
    if (modifiers & hotkeymask::super)
        text += "Super+";
    return text + keyName(keyCode);
}

HotKeyCombo HotKeyCombo::load(const UserDefaults& defaults) {
    if (!defaults.object(hotKeyCodeKey))
        return {};
    const auto keyCode = storedUint32(defaults, hotKeyCodeKey);
    if (!keyCode)
        return {};
    HotKeyCombo combo{*keyCode, 0};
    // Modifiers of another type read as none; an integer out of range is damage.
    if (defaults.integer(hotKeyModifiersKey)) {
        const auto modifiers = storedUint32(defaults, hotKeyModifiersKey);
        if (!modifiers)
            return {};
        combo.modifiers = *modifiers;
    }
    return combo;
}

void HotKeyCombo::save(UserDefaults& defaults) const {
    defaults.set(hotKeyCodeKey, keyCode);
    defaults.set(hotKeyModifiersKey, modifiers);
}

std::string keyName(uint32_t keyCode) {
    if (const auto* entry = entryForKeyCode(keyCode))
        return std::string(entry->name);
    return "(" + std::to_string(keyCode) + ")";
}

std::optional<uint32_t> keysymForKeyCode(uint32_t keyCode) {
    if (const auto* entry = entryForKeyCode(keyCode))
        return entry->keysym;
    return std::nullopt;
}

std::optional<uint32_t> keyCodeForKeysym(uint32_t keysym) {
    if (keysym >= 'A' && keysym <= 'Z')
        keysym += 'a' - 'A';
    for (const auto& entry : kKeys)
        if (entry.keysym == keysym)
            return entry.keyCode;
    return std::nullopt;
}

std::optional<std::string> shortcutTrigger(const HotKeyCombo& combo) {
    const auto* entry = entryForKeyCode(combo.keyCode);
    const uint32_t known = hotkeymask::ctrl | hotkeymask::alt | hotkeymask::shift | hotkeymask::super;
    if (!entry || !(combo.modifiers & known))
        return std::nullopt;
    std::string trigger;
    if (combo.modifiers & hotkeymask::ctrl)
        trigger += "CTRL+";
    if (combo.modifiers & hotkeymask::alt)
        trigger += "ALT+";
    if (combo.modifiers & hotkeymask::shift)
        trigger += "SHIFT+";
    if (combo.modifiers & hotkeymask::super)
        trigger += "LOGO+";
    // The keysym's name: letters and digits are their character, the rest as
    // xkb names them.
    switch (entry->keysym) {
    case 0x0020:
        return trigger + "space";
    case 0xff0d:
        return trigger + "Return";
    case 0xff09:
        return trigger + "Tab";
    default:
        break;
    }
    if (entry->keysym >= 0xffbe && entry->keysym <= 0xffc9)
        return trigger + "F" + std::to_string(entry->keysym - 0xffbe + 1);
    return trigger + static_cast<char>(entry->keysym);
}

std::string unavailableHotKeyNote(HotKeyOutcome::Result result) {
    switch (result) {
    case HotKeyOutcome::Result::noService:
        return "No shortcut service here: bind \u201csorvane --toggle-panel\u201d in keyboard settings.";
    case HotKeyOutcome::Result::refused:
        return "Shortcut declined: bind \u201csorvane --toggle-panel\u201d in your keyboard settings.";
    default:
        return "Shortcut not bound: bind \u201csorvane --toggle-panel\u201d in your keyboard settings.";
    }
}

HotKeyManager::HotKeyManager(HotKeyService& service) : m_service(service) {
    m_service.setOnOutcome([this](const HotKeyOutcome& outcome) { take(outcome); });
}

HotKeyManager::~HotKeyManager() {
    m_service.setOnOutcome({});
    if (m_registered)
        m_service.unregisterHotKey();
}

void HotKeyManager::setCallback(std::function<void()> callback) {
    m_service.setOnPressed(std::move(callback));
}

int HotKeyManager::applyCombo(const HotKeyCombo& combo) {
    m_combo = combo;
    m_confirmed = false;
    m_desktopTrigger.reset();
    const int status = m_service.registerHotKey(combo.keyCode, combo.modifiers);
    m_registered = status == 0;
    if (m_registered && m_service.answersLater())
        return status; // the desktop's answer is logged when it comes
    if (m_registered)
        logLine("Sorvane: hotkey registered (" + combo.displayString() + ")");
    else
        logLine("Sorvane: hotkey registration failed (status " + std::to_string(status) + ")");
    return status;
}

void HotKeyManager::take(const HotKeyOutcome& outcome) {
    using Result = HotKeyOutcome::Result;
    if (outcome.result == Result::registered) {
        const std::string shown = outcome.triggerDescription.value_or(m_combo.displayString());
        if (!m_confirmed)
            logLine("Sorvane: hotkey registered (" + shown + ")");
        else if (outcome.triggerDescription != m_desktopTrigger)
            logLine("Sorvane: hotkey changed by the desktop to " + shown);
        m_confirmed = true;
        m_registered = true;
        m_desktopTrigger = outcome.triggerDescription;
        m_unavailableNote.reset();
    } else {
        logLine("Sorvane: hotkey registration failed (" + outcome.detail + ")");
        logLine("Sorvane: to open the panel from the keyboard, bind `sorvane --toggle-panel` to a shortcut in "
                "the desktop's keyboard settings");
        m_confirmed = false;
        m_desktopTrigger.reset();
        m_unavailableNote = unavailableHotKeyNote(outcome.result);
    }
    if (m_onStatusChange)
        m_onStatusChange();
}

void HotKeyManager::rebind(const HotKeyCombo& combo, UserDefaults& defaults) {
    if (m_registered) {
        m_service.unregisterHotKey();
        m_registered = false;
    }
    combo.save(defaults);
    applyCombo(combo);
    logLine("Sorvane: hotkey changed to " + combo.displayString());
}

} // namespace sorvane
