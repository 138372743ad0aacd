// The tray symbol choice: its stored names and how a stored value is read back.
#include "store/UserDefaultsFile.h"
#include "testing/test-env/TempDir.h"
#include "ui/TrayIconChoice.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sorvane {
namespace {

// The stored names are a file format: a value saved by one version must load
// as the same symbol in the next.
TEST(TrayIconChoice, StoredNamesAndLabelsInPreferenceOrder) {
    std::vector<std::pair<std::string, std::string>> table;
    for (auto c : allTrayIconChoices)
        table.emplace_back(symbolName(c), label(c));
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"paperclip", "Paperclip"},
        {"doc.on.clipboard.fill", "Clipboard (filled)"},
        {"clipboard", "Clipboard (plain)"},
        {"scissors", "Scissors"},
        {"doc.on.doc", "Documents"},
        {"square.and.pencil", "Edit board"},
        {"list.clipboard", "List clipboard"},
    };
    EXPECT_EQ(table, expected);
}

// Each choice is stored under its exact symbol name and survives a restart;
// any other name, a value that is not a string, or none reads as the paperclip,
// and reading leaves the stored value as it was.
TEST(TrayIconChoice, SavedChoiceSurvivesARestartAndOnlyExactSymbolNamesDecode) {
    testing::TempDir dir;
    const auto path = dir.path() / "defaults.json";
    for (auto c : allTrayIconChoices) {
        {
            UserDefaultsFile defaults(path);
            saveTrayIconChoice(defaults, c);
        }
        UserDefaultsFile reopened(path);
        EXPECT_EQ(reopened.string("tray_icon"), std::string(symbolName(c)));
        EXPECT_EQ(loadTrayIconChoice(reopened), c);
        EXPECT_EQ(trayIconChoiceFromSymbol(symbolName(c)), c) << symbolName(c);
    }

    UserDefaultsFile defaults(path);
    using namespace std::string_view_literals;
    for (auto bad : {""sv, "Paperclip"sv, "paperclip "sv, "doc.on"sv, "list.clipboard\n"sv,
                     "scissors\0x"sv, "star.fill"sv}) {
        EXPECT_FALSE(trayIconChoiceFromSymbol(bad)) << bad;
        EXPECT_EQ(trayIconChoiceOrDefault(bad), TrayIconChoice::paperclip) << bad;
        defaults.set("tray_icon", std::string(bad));
        EXPECT_EQ(loadTrayIconChoice(defaults), TrayIconChoice::paperclip) << bad;
        EXPECT_EQ(defaults.string("tray_icon"), std::string(bad));
    }
    defaults.set("tray_icon", 3);
    EXPECT_EQ(loadTrayIconChoice(defaults), TrayIconChoice::paperclip) << "not a string";
    defaults.remove("tray_icon");
    EXPECT_EQ(loadTrayIconChoice(defaults), TrayIconChoice::paperclip) << "missing";
}

} // namespace
} // namespace sorvane
