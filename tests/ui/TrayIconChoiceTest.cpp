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
    EXPECT_EQ(defaultTrayIconChoice, TrayIconChoice::paperclip);
}

TEST(TrayIconChoice, DecodesOnlyExactSymbolNames) {
    using namespace std::string_view_literals;
    for (auto c : allTrayIconChoices)
        EXPECT_EQ(trayIconChoiceFromSymbol(symbolName(c)), c) << symbolName(c);
    for (auto bad : {""sv, "Paperclip"sv, "paperclip "sv, "doc.on"sv, "list.clipboard\n"sv, "scissors\0x"sv}) {
        EXPECT_FALSE(trayIconChoiceFromSymbol(bad)) << bad;
        EXPECT_EQ(trayIconChoiceOrDefault(bad), TrayIconChoice::paperclip) << bad;
    }
}

TEST(TrayIconChoice, SavedChoiceSurvivesARestartAndBadValuesReadAsPaperclip) {
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
    }

    UserDefaultsFile defaults(path);
    defaults.remove("tray_icon");
    EXPECT_EQ(loadTrayIconChoice(defaults), TrayIconChoice::paperclip) << "missing";
    defaults.set("tray_icon", 3);
    EXPECT_EQ(loadTrayIconChoice(defaults), TrayIconChoice::paperclip) << "not a string";
    defaults.set("tray_icon", "star.fill");
    EXPECT_EQ(loadTrayIconChoice(defaults), TrayIconChoice::paperclip) << "unknown symbol";
    EXPECT_EQ(defaults.string("tray_icon"), "star.fill") << "reading does not rewrite the stored value";
}

} // namespace
} // namespace sorvane
