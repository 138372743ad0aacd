// Time from one keystroke in the search panel's field to the filtered history
// list laid out and drawn, with 200 entries of 1 KiB and of 100 KiB and with
// 10,000 entries; plus the cost of showing the panel with those rows.
// The search looks through each entry's whole text. Targets: under 8 ms per
// keystroke at 200 entries of 100 KiB, under 40 ms at 10,000 entries. The word
// "echo 1" is found in many rows; "zqxjv" in none, so each of its keystrokes
// reads every text to its end (the worst case).
#include "adapters/qt/ui/SorvaneSearchPanel.h"
#include "testing/screenshots/PanelSeed.h"

#include <QApplication>
#include <QLineEdit>
#include <QListView>
#include <QTest>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>

namespace {

using namespace sorvane;
using namespace sorvane::testing;

// One panel per history shape, shown, kept for every run of that shape.
SorvaneSearchPanel& panelWith(size_t count, size_t bytes) {
    static std::map<std::pair<size_t, size_t>, std::unique_ptr<SorvaneSearchPanel>> panels;
    auto& slot = panels[{count, bytes}];
    if (!slot) {
        slot = std::make_unique<SorvaneSearchPanel>();
        slot->showPanel(panelRows(seededHistory(count, bytes)), {true, true, false}, [](const std::string&) {});
        QApplication::processEvents();
    }
    return *slot;
}

// Types "echo 1" key by key, then erases it key by key: twelve keystrokes,
// from every row shown down to a few and back.
void typeAndErase(benchmark::State& state, const QString& word) {
    const auto count = static_cast<size_t>(state.range(0));
    const auto bytes = static_cast<size_t>(state.range(1));
    SorvaneSearchPanel& panel = panelWith(count, bytes);
    QLineEdit* search = panel.searchField();
    QListView* list = panel.historyList();
    search->clear();
    size_t step = 0;
    for (auto _ : state) {
        const size_t at = step++ % (2 * static_cast<size_t>(word.size()));
        if (at < static_cast<size_t>(word.size()))
            QTest::keyClick(search, word.at(static_cast<qsizetype>(at)).toLatin1());
        else
            QTest::keyClick(search, Qt::Key_Backspace);
        list->doItemsLayout();
        list->viewport()->repaint();
    }
    state.counters["rows"] = static_cast<double>(count);
    // Sanity: the panel is on screen and each step filtered the list.
    state.counters["visible"] = panel.isVisible();
    search->clear();
    QTest::keyClicks(search, word);
    state.counters["rows_matching"] = list->model()->rowCount();
    search->clear();
}

void BM_Keystroke(benchmark::State& state) {
    typeAndErase(state, QStringLiteral("echo 1"));
}
void BM_KeystrokeNothingMatches(benchmark::State& state) {
    typeAndErase(state, QStringLiteral("zqxjv"));
}
BENCHMARK(BM_Keystroke)
    ->Args({200, 1024})
    ->Args({200, 100 * 1024})
    ->Args({10000, 100})
    ->Args({10000, 1024})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KeystrokeNothingMatches)
    ->Args({200, 100 * 1024})
    ->Args({10000, 100})
    ->Unit(benchmark::kMillisecond);

// A show (or a refresh) with all the rows: labels are already cut; the panel
// folds them for matching and rebuilds its list.
void BM_ShowPanel(benchmark::State& state) {
    const auto count = static_cast<size_t>(state.range(0));
    const auto history = seededHistory(count, 1024);
    const auto rows = panelRows(history);
    SorvaneSearchPanel panel;
    for (auto _ : state) {
        panel.showPanel(rows, {true, true, false}, [](const std::string&) {});
        panel.historyList()->doItemsLayout();
        panel.historyList()->viewport()->repaint();
    }
}
BENCHMARK(BM_ShowPanel)->Arg(200)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
