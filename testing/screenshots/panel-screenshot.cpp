// panel-screenshot OUTDIR: renders the search panel in a few states to PNG
// files (a seeded history, a query, the selection moved, the two empty states;
// then the history and a query again in the dark scheme).
// Run it on a real X server (scripts/screenshots starts Xvfb).
#include "adapters/qt/ui/Appearance.h"
#include "adapters/qt/ui/SorvaneSearchPanel.h"
#include "testing/screenshots/PanelSeed.h"

#include "testing/screenshots/Screenshot.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QScreen>
#include <QLineEdit>
#include <QTest>

#include <cstdio>

using namespace sorvane;
using namespace sorvane::testing;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const auto folder = sorvane::testing::screenshotFolder(argc, argv, "panel-screenshot");
    if (!folder)
        return 2;
    const QString& dir = *folder;

    std::vector<ClipboardEntry> history{
        seededEntry("https://example.org/release-notes/2026-12", 2000, Direction::received, "a1"),
        seededEntry("Meeting moved to 14:30, room Ada Lovelace on the third floor", 3 * 60000,
                    Direction::sent, "a2"),
        seededEntry("ssh deploy@build-02.internal -p 2222", 17 * 60000, Direction::sent, "a3"),
        seededEntry("Tracking number: 1Z 999 AA1 01 2345 6784", 2 * 3600000, Direction::received, "a4"),
        seededEntry("Grüße aus München — see you at the café ☕", 5 * 3600000, Direction::received, "a5"),
        seededEntry("SELECT id, name FROM users WHERE last_seen > now() - interval '7 days';",
                    26 * 3600000, Direction::sent, "a6"),
        seededEntry("+49 30 1234 5678", 3 * 86400000ULL, Direction::received, "a7"),
        seededEntry("The quick brown fox jumps over the lazy dog", 9 * 86400000ULL, Direction::sent, "a8"),
        seededEntry("git rebase -i HEAD~3", 12 * 86400000ULL, Direction::sent, "a9"),
        seededEntry("42", 30 * 86400000ULL, Direction::received, "a10"),
    };

    // The pointer away from the panel, so that no row shows as hovered.
    if (QScreen* screen = QGuiApplication::primaryScreen())
        QCursor::setPos(screen->geometry().bottomLeft() + QPoint(10, -10));
    SorvaneSearchPanel panel;
    std::vector<std::string> reported;
    // As the delegate does: a send from the panel is answered with a toast.
    auto answer = [&](const std::string& id) {
        reported.push_back(id);
        if (id.starts_with("resend:"))
            panel.showToast("Sent to phone");
    };
    panel.showPanel(panelRows(history), {true, true, false}, answer);
    bool ok = sorvane::testing::saveScreenshot(panel, dir, "panel-history");

    QTest::keyClick(panel.searchField(), Qt::Key_Down);
    QTest::keyClick(panel.searchField(), Qt::Key_Down);
    QTest::keyClicks(panel.searchField(), QStringLiteral("s"));
    QTest::keyClick(panel.searchField(), Qt::Key_Return, Qt::ControlModifier);
    ok = sorvane::testing::saveScreenshot(panel, dir, "panel-query-sent") && ok;

    panel.showPanel(panelRows(history, true, false), {false, false, false}, {});
    QTest::keyClicks(panel.searchField(), QStringLiteral("zebra"));
    ok = sorvane::testing::saveScreenshot(panel, dir, "panel-no-results") && ok;

    const std::vector<ClipboardEntry> none;
    panel.showPanel(panelRows(none, false), {false, true, false}, {});
    ok = sorvane::testing::saveScreenshot(panel, dir, "panel-empty") && ok;

    // Start-up on a locked keyring with a long history still being read.
    PanelInputs waiting;
    waiting.waitingForKeyring = true;
    waiting.historyLoading = true;
    panel.showPanel(buildPanelItems(waiting), {false, true, false}, {});
    ok = sorvane::testing::saveScreenshot(panel, dir, "panel-keyring-loading") && ok;

    appearance::setColorScheme(ColorScheme::dark);
    panel.showPanel(panelRows(history), {true, true, false}, answer);
    ok = sorvane::testing::saveScreenshot(panel, dir, "panel-history-dark") && ok;
    QTest::keyClick(panel.searchField(), Qt::Key_Down);
    QTest::keyClick(panel.searchField(), Qt::Key_Down);
    QTest::keyClicks(panel.searchField(), QStringLiteral("s"));
    QTest::keyClick(panel.searchField(), Qt::Key_Return, Qt::ControlModifier);
    ok = sorvane::testing::saveScreenshot(panel, dir, "panel-query-sent-dark") && ok;
    return ok ? 0 : 1;
}
