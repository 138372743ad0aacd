#include "ui/TrayIconChoice.h"

#include <string>

namespace sorvane {
namespace {

struct Row {
    TrayIconChoice choice;
    std::string_view symbol;
    std::string_view label;
};

constexpr std::array<Row, 7> kRows = {{
    {TrayIconChoice::paperclip, "paperclip", "Paperclip"},
    {TrayIconChoice::clipboardFill, "doc.on.clipboard.fill", "Clipboard (filled)"},
    {TrayIconChoice::clipboardPlain, "clipboard", "Clipboard (plain)"},
    {TrayIconChoice::scissors, "scissors", "Scissors"},
    {TrayIconChoice::docOnDoc, "doc.on.doc", "Documents"},
    {TrayIconChoice::editBoard, "square.and.pencil", "Edit board"},
    {TrayIconChoice::listClipboard, "list.clipboard", "List clipboard"},
}};

const Row& row(TrayIconChoice choice) {
    for (const auto& r : kRows)
        if (r.choice == choice)
            return r;
    return kRows[0]; // not reached: every enumerator has a row
}

} // namespace

std::string_view symbolName(TrayIconChoice choice) { return row(choice).symbol; }

std::string_view label(TrayIconChoice choice) { return row(choice).label; }

std::optional<TrayIconChoice> trayIconChoiceFromSymbol(std::string_view name) {
    for (const auto& r : kRows)
        if (r.symbol == name)
            return r.choice;
    return std::nullopt;
}

TrayIconChoice trayIconChoiceOrDefault(std::string_view name) {
    return trayIconChoiceFromSymbol(name).value_or(defaultTrayIconChoice);
}

TrayIconChoice loadTrayIconChoice(const UserDefaults& defaults) {
    const auto stored = defaults.string(trayIconKey);
    return stored ? trayIconChoiceOrDefault(*stored) : defaultTrayIconChoice;
}

void saveTrayIconChoice(UserDefaults& defaults, TrayIconChoice choice) {
    defaults.set(trayIconKey, std::string(symbolName(choice)));
}

} // namespace sorvane
