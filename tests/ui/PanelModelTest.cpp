// The panel's rows, labels, query and selection, without a toolkit.
#include "ui/PanelState.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

namespace sorvane {
namespace {

constexpr uint64_t kNow = 1'700'000'000'000;

ClipboardEntry entry(std::string text, uint64_t ageMs, Direction direction = Direction::received) {
    ClipboardEntry e;
    e.text = std::move(text);
    e.hash = "h" + std::to_string(ageMs);
    e.timestamp = kNow - ageMs;
    e.id = e.hash + ":" + std::to_string(e.timestamp);
    e.direction = direction;
    return e;
}

EntryList list(const std::vector<ClipboardEntry>& entries) {
    EntryList::Shared shared;
    for (const auto& e : entries)
        shared.push_back(std::make_shared<const ClipboardEntry>(e));
    return EntryList(std::move(shared));
}

// The ids of rows, as built or as shown (pointers into the built ones).
template <class Items> std::vector<std::string> ids(const Items& items) {
    std::vector<std::string> out;
    for (const auto& i : items)
        if constexpr (std::is_pointer_v<std::decay_t<decltype(i)>>)
            out.push_back(i->id);
        else
            out.push_back(i.id);
    return out;
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

TEST(PanelItems, RowTables) {
    const EntryList none;
    const EntryList two = list({entry("newest", 1000, Direction::sent), entry("older", 120000)});
    const std::vector<std::string> commands = {"preferences", "about", "check_updates", "quit"};
    auto with = [&](std::vector<std::string> head) {
        head.insert(head.end(), commands.begin(), commands.end());
        return head;
    };

    // Unpaired: no pause row, even with a central connected.
    auto items = buildPanelItems({false, "Pixel", true, false, &none, kNow, false});
    EXPECT_EQ(ids(items), with({"header:unpaired", "s"}));
    EXPECT_EQ(items[0].labelText(), "Pair phone");

    // Waiting for the keyring: the header says so, and offers no pairing or pause.
    items = buildPanelItems({true, "Pixel", true, false, &none, kNow, true});
    EXPECT_EQ(ids(items), with({"header:keyring", "s"}));
    EXPECT_EQ(items[0].labelText(), "Sync waits for the keyring to unlock");

    // While the history is read, a row says so where the entries go.
    PanelInputs loading{true, "Pixel", true, false, &none, kNow, false};
    loading.historyLoading = true;
    items = buildPanelItems(loading);
    EXPECT_EQ(ids(items), with({"header:connected", "toggle_pause", "s", "history:loading", "s"}));
    EXPECT_FALSE(items[3].isHistory());
    EXPECT_EQ(items[3].enabled, false);

    // Paired, offline, no name, empty history.
    items = buildPanelItems({true, std::nullopt, false, false, &none, kNow, false});
    EXPECT_EQ(ids(items), with({"header:offline", "toggle_pause", "s"}));
    EXPECT_EQ(items[0].labelText(), "Phone \u00b7 Offline");
    EXPECT_EQ(items[1].labelText(), "\u23f8 Pause Sync\tCtrl+P");

    // Paired, connected, paused, two entries.
    items = buildPanelItems({true, "Pixel 8", true, true, &two, kNow, false});
    EXPECT_EQ(ids(items), with({"header:connected", "toggle_pause", "s", "hist:" + two[0].id,
                                "hist:" + two[1].id, "s"}));
    EXPECT_EQ(items[0].labelText(), "Pixel 8 \u00b7 Connected");
    EXPECT_EQ(items[1].labelText(), "\u25b6 Resume Sync\tCtrl+P");
    EXPECT_EQ(items[3].labelText(), "\u2191  newest  \u00b7  now");
    EXPECT_EQ(items[4].labelText(), "\u2193  older  \u00b7  2m");
    EXPECT_TRUE(items[3].isHistory());
    EXPECT_FALSE(items[2].label.has_value()); // separators carry nothing
    EXPECT_EQ(items.back().labelText(), "Quit Sorvane\tCtrl+Q");
    EXPECT_EQ(items[items.size() - 4].labelText(), "Preferences\u2026\tCtrl+,");
}

TEST(PanelItems, AgesAtTheirBoundaries) {
    const std::pair<uint64_t, const char*> table[] = {
        {0, "now"},        {4999, "now"},       {5000, "5s"},        {59999, "59s"},
        {60000, "1m"},     {3599999, "59m"},    {3600000, "1h"},     {86399999, "23h"},
        {86400000, "1d"},  {864000000, "10d"},
    };
    for (const auto& [age, text] : table)
        EXPECT_EQ(formatRelativeShort(kNow - age, kNow), text) << age;
    EXPECT_EQ(formatRelativeShort(kNow + 60000, kNow), "now"); // clock set back
}

TEST(PanelItems, LabelCutKeepsGraphemeClustersWhole) {
    const std::string e = "e\xCC\x81";                                  // e + combining acute: one character
    const std::string family = "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"; // woman ZWJ girl
    const std::string flag = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";        // regional indicators D E
    struct Case {
        std::string text, head;
        bool truncated;
    } cases[] = {
        {repeat("a", 40), repeat("a", 40), false},
        {repeat("a", 41), repeat("a", 40), true},
        {repeat(e, 40), repeat(e, 40), false},
        {repeat(e, 41), repeat(e, 40), true},
        {repeat("a", 39) + family + "z", repeat("a", 39) + family, true},
        {repeat(flag, 41), repeat(flag, 40), true},
        {"line one\nline two", "line one\nline two", false},
        {"bad \xFF byte", "bad \xEF\xBF\xBD byte", false},
        // A cluster that runs past the first decoding window is still whole.
        {"x" + repeat("\xCC\x81", 3000) + repeat("b", 45), "x" + repeat("\xCC\x81", 3000) + repeat("b", 39), true},
    };
    for (const auto& c : cases) {
        const TextCut cut = cutToGraphemes(c.text, 40);
        EXPECT_EQ(cut.head, c.head) << c.text.substr(0, 60);
        EXPECT_EQ(cut.truncated, c.truncated) << c.text.substr(0, 60);
    }
    EXPECT_EQ(historyRowLabel(entry(repeat("a", 45), 180000), kNow), "\u2193  " + repeat("a", 40) + "\u2026  \u00b7  3m");
}

TEST(PanelState, QueryIsTrimmedAndCaseFolded) {
    EXPECT_EQ(normalizedQuery("  Foo "), "foo");
    EXPECT_EQ(normalizedQuery("\t\u00a0Stra\u00dfe\u3000"), "stra\u00dfe");
    EXPECT_EQ(normalizedQuery("\u00c9T\u00c9 \n"), "\u00e9t\u00e9 \n"); // line breaks are kept
    EXPECT_EQ(unicodeLowercase("I\u0130"), "i" "i\u0307"); // root rules, not Turkish

    const EntryList history = list({entry("Foo bar", 1000), entry("\u00c9t\u00e9 FOOD", 10000),
                                    entry("unrelated", 120000)});
    PanelState state;
    state.setItems(buildPanelItems({true, "P", false, false, &history, kNow, false}));
    // How many rows each query shows; the row's decorations (the age, the dot,
    // the arrow) are not the text.
    const std::pair<const char*, size_t> queries[] = {
        {"  fOO ", 2}, {"\u00e9T\u00c9", 1}, {"now", 0}, {"2m", 0},
        {"\u00b7", 0}, {"\u2193", 0},        {"   ", 3}, {"zzz", 0}};
    for (const auto& [query, shown] : queries) {
        state.setQuery(query);
        EXPECT_EQ(state.filteredHistory().size(), shown) << query;
    }
    EXPECT_EQ(state.actionItems().size(), 6u); // header, pause and commands never hide
}

// The whole text is searched, however long, whatever the case, and typing on
// (which narrows the previous result) finds what a fresh search finds.
TEST(PanelState, SearchLooksThroughTheWholeText) {
    std::string longText;
    for (int i = 0; i < 2000; ++i)
        longText += "lorem ipsum dolor sit amet " + std::to_string(i) + "\n";
    std::string withWord = longText;
    withWord.insert(100, " Needle\u00e9 ");      // past the row's 40 characters
    withWord += "ZEBRA"; // at the very end
    const EntryList history = list({entry(withWord, 1000), entry(longText, 2000), entry("needl", 3000)});
    PanelState state;
    state.setItems(buildPanelItems({true, "P", false, false, &history, kNow, false}));
    auto shown = [&] { return ids(state.filteredHistory()); };
    const std::string first = "hist:" + history[0].id;

    for (const char* typed : {"n", "ne", "nee", "needle", "NEEDLE\u00c9"}) {
        state.setQuery(typed);
        PanelState fresh;
        fresh.setItems(buildPanelItems({true, "P", false, false, &history, kNow, false}));
        fresh.setQuery(typed);
        EXPECT_EQ(shown(), ids(fresh.filteredHistory())) << typed;
    }
    EXPECT_EQ(shown(), std::vector<std::string>{first});
    state.setQuery("zebra");
    EXPECT_EQ(shown(), std::vector<std::string>{first});
    state.setQuery("amet 1999");
    EXPECT_EQ(shown().size(), 2u);
    // A shorter query widens again.
    state.setQuery("needl");
    EXPECT_EQ(shown().size(), 2u);
}

TEST(PanelState, SelectionFollowsTypingArrowsAndRefreshes) {
    const EntryList history = list({entry("alpha", 1000), entry("beta", 2000), entry("alphabet", 3000)});
    const auto items = buildPanelItems({true, "P", false, false, &history, kNow, false});
    const std::string a = "hist:" + history[0].id, b = "hist:" + history[1].id, c = "hist:" + history[2].id;
    PanelState state;
    int published = 0;
    state.addObserver([&] { ++published; });
    std::vector<std::string> chosen;
    state.onSelect = [&](const std::string& id) { chosen.push_back(id); };
    state.setItems(items);

    state.resetForShow();
    EXPECT_EQ(state.selectedId(), a);
    EXPECT_EQ(state.scrollToId(), a);
    state.moveSelectionUp(); // at the top: nothing changes
    EXPECT_EQ(state.selectedId(), a);
    state.moveSelectionDown();
    state.moveSelectionDown();
    state.moveSelectionDown(); // at the bottom: nothing changes
    EXPECT_EQ(state.selectedId(), c);

    state.setQuery("alpha"); // keeps the selected row
    EXPECT_EQ(state.selectedId(), c);
    state.setQuery("beta"); // hides it: the first shown row
    EXPECT_EQ(state.selectedId(), b);
    state.setQuery("nothing");
    EXPECT_EQ(state.selectedId(), std::nullopt);
    EXPECT_EQ(state.returnAction(), std::nullopt);

    state.resetForShow();
    state.moveSelectionDown();
    EXPECT_EQ(state.returnAction(), "hist_tap:" + history[1].id);
    EXPECT_EQ(state.resendAction(), "resend:hist:" + history[1].id);
    state.select(*state.returnAction());
    EXPECT_EQ(chosen, std::vector<std::string>{"hist_tap:" + history[1].id});

    // A refresh without the selected row moves the selection to the first row.
    const EntryList fewer = list({history[0], history[2]});
    state.setItems(buildPanelItems({true, "P", false, false, &fewer, kNow, false}));
    EXPECT_EQ(state.selectedId(), a);
    EXPECT_EQ(ids(state.filteredHistory()), (std::vector<std::string>{a, c}));

    // Down with nothing selected selects the first row.
    state.setSelectedId(std::nullopt);
    state.moveSelectionDown();
    EXPECT_EQ(state.selectedId(), a);
    EXPECT_GT(published, 0);
}

} // namespace
} // namespace sorvane
