// The user's choice of tray symbol: seven cases, each with the symbol name that
// is both its stored value (user default "tray_icon") and the key of its icon,
// and the label the preferences list shows.
//
// Thread-safety: pure functions over constant tables; call from any thread.
// loadTrayIconChoice() and saveTrayIconChoice() use the UserDefaults passed in
// and follow its threading rules (main thread).
#pragma once

#include "ports/UserDefaults.h"

#include <array>
#include <optional>
#include <string_view>

namespace sorvane {

enum class TrayIconChoice {
    paperclip,
    clipboardFill,
    clipboardPlain,
    scissors,
    docOnDoc,
    editBoard,
    listClipboard,
};

// Every case, in the order the preferences list them.
inline constexpr std::array<TrayIconChoice, 7> allTrayIconChoices = {
    TrayIconChoice::paperclip, TrayIconChoice::clipboardFill, TrayIconChoice::clipboardPlain,
    TrayIconChoice::scissors,  TrayIconChoice::docOnDoc,      TrayIconChoice::editBoard,
    TrayIconChoice::listClipboard,
};

// The choice used when nothing valid is stored.
inline constexpr TrayIconChoice defaultTrayIconChoice = TrayIconChoice::paperclip;

// The user default that holds the choice's symbol name.
inline constexpr std::string_view trayIconKey = "tray_icon";

// "paperclip", "doc.on.clipboard.fill", "clipboard", "scissors", "doc.on.doc",
// "square.and.pencil", "list.clipboard".
std::string_view symbolName(TrayIconChoice choice);
// "Paperclip", "Clipboard (filled)", ... as shown in the preferences.
std::string_view label(TrayIconChoice choice);

// The case whose symbol name is exactly `name`; absent for anything else.
std::optional<TrayIconChoice> trayIconChoiceFromSymbol(std::string_view name);
// `name` decoded, or the default (paperclip) when it is not a symbol name.
TrayIconChoice trayIconChoiceOrDefault(std::string_view name);

// The stored choice; a missing value, a non-string or an unknown name gives the default.
TrayIconChoice loadTrayIconChoice(const UserDefaults& defaults);
// Stores the choice's symbol name under "tray_icon".
void saveTrayIconChoice(UserDefaults& defaults, TrayIconChoice choice);

} // namespace sorvane
