// The search panel window driven by real key and mouse events on its widgets:
// filtering, selection, the keys, the send button, the toast, the texts a user
// reads, placement and focus; on X11 also clicks outside the panel.
#include "adapters/qt/ui/PanelClickWatcher.h"
#include "adapters/qt/ui/PanelCommandRow.h"
#include "adapters/qt/ui/PanelHistoryDelegate.h"
#include "adapters/qt/ui/SorvaneSearchPanel.h"
#include "testing/screenshots/PanelSeed.h"
#include "qtui/QtUiTestEnv.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QScreen>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include <tuple>

// After Qt: Xlib's macros clash with Qt's names.
#include "testing/x-session/OtherClientWindow.h"

namespace sorvane::testing {
namespace {

class SearchPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        history = {
            seededEntry("apple pie", 1000, Direction::received, "h1"),
            seededEntry("banana split", 120000, Direction::sent, "h2"),
            seededEntry("Apple tart", 240000, Direction::received, "h3"),
            seededEntry("cherry", 360000, Direction::sent, "h4"),
            seededEntry("APPLE juice, fresh", 480000, Direction::received, "h5"),
        };
    }

    std::string toastAnswer = "Sent to phone";
    void show(PanelFlags flags = {true, true, false}) {
        panel.showPanel(panelRows(history, true, flags.isPhoneConnected, flags.syncPaused), flags,
                        [this](const std::string& id) {
                            reported.push_back(id);
                            // As the delegate does once the send is handed over.
                            if (id.starts_with("resend:"))
                                panel.showToast(toastAnswer);
                        });
        // Activation reaches the window through the event loop.
        ASSERT_TRUE(QTest::qWaitForWindowActive(&panel));
    }

    QLineEdit* search() { return panel.searchField(); }
    QListView* list() { return panel.historyList(); }
    int rows() { return list()->model()->rowCount(); }
    std::string rowId(int row) { return "hist:" + history[static_cast<size_t>(row)].id; }
    QRect rowRect(int row) { return list()->visualRect(list()->model()->index(row, 0)); }
    std::string selected() { return panel.state().selectedId().value_or("<none>"); }

    // Whether anything is drawn in `area` of the list, which is otherwise
    // one flat colour there.
    bool drawnIn(const QRect& area) {
        const QImage image = list()->viewport()->grab().toImage();
        const QRgb background = image.pixel(area.topLeft());
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                if (image.pixel(x, y) != background)
                    return true;
        return false;
    }

    std::vector<ClipboardEntry> history;
    SorvaneSearchPanel panel;
    std::vector<std::string> reported;
};

TEST_F(SearchPanelTest, TypingFiltersArrowsMoveTheSelectionWithinTheShownRowsAndARefreshKeepsBoth) {
    show();
    EXPECT_EQ(rows(), 5);
    EXPECT_EQ(selected(), rowId(0));

    QTest::keyClicks(search(), QStringLiteral("aPPle"));
    EXPECT_EQ(rows(), 3);
    EXPECT_EQ(selected(), rowId(0)); // still shown, so it stays

    QTest::keyClick(search(), Qt::Key_Down);
    EXPECT_EQ(selected(), rowId(2));
    QTest::keyClick(search(), Qt::Key_Down);
    QTest::keyClick(search(), Qt::Key_Down); // at the end: stays
    EXPECT_EQ(selected(), rowId(4));
    QTest::keyClick(search(), Qt::Key_Up);
    EXPECT_EQ(selected(), rowId(2));

    // A refresh keeps the query and the selection, unless it drops the selected entry.
    history.insert(history.begin(), seededEntry("apple crumble", 0, Direction::received, "h0"));
    panel.updatePanel(panelRows(history, true, false), {false, true, false});
    EXPECT_EQ(search()->text(), QStringLiteral("aPPle"));
    EXPECT_EQ(rows(), 4);
    EXPECT_EQ(selected(), rowId(3));
    EXPECT_EQ(panel.commandRows()[0]->title(), QStringLiteral("Pixel 8 \u00b7 Offline"));
    EXPECT_EQ(QApplication::focusWidget(), search());
    history.erase(history.begin() + 3);
    panel.updatePanel(panelRows(history, true, false), {false, true, false});
    EXPECT_EQ(selected(), rowId(0));

    // A query that hides the selection moves it to the first shown row.
    QTest::keyClicks(search(), QStringLiteral(" j"));
    EXPECT_EQ(rows(), 1);
    EXPECT_EQ(selected(), rowId(4));

    // Without Ctrl a comma is text, and nothing is reported.
    search()->clear();
    QTest::keyClicks(search(), QStringLiteral("e,"));
    EXPECT_EQ(search()->text(), QStringLiteral("e,"));
    EXPECT_TRUE(reported.empty());
    EXPECT_TRUE(panel.isPanelVisible());
}

// Each key with the second row selected: what it reports, and whether the panel
// stays open; no key types into the field.
TEST_F(SearchPanelTest, KeysReportTheirCommandsAndHideOrKeepThePanel) {
    const std::tuple<Qt::Key, Qt::KeyboardModifiers, std::vector<std::string>, bool> keys[] = {
        {Qt::Key_Return, Qt::NoModifier, {"hist_tap:" + history[1].id}, false},
        {Qt::Key_Escape, Qt::NoModifier, {}, false},
        {Qt::Key_Enter, Qt::KeypadModifier, {}, true}, // the keypad's Enter is not Return
        {Qt::Key_P, Qt::ControlModifier, {"toggle_pause"}, true},
        {Qt::Key_P, Qt::ControlModifier | Qt::ShiftModifier, {"toggle_pause"}, true},
        {Qt::Key_Comma, Qt::ControlModifier, {"preferences"}, true},
        {Qt::Key_I, Qt::ControlModifier, {"about"}, true},
        {Qt::Key_Q, Qt::ControlModifier, {"quit"}, true}};
    for (const auto& [key, modifiers, expected, staysOpen] : keys) {
        SCOPED_TRACE(QKeySequence(key | modifiers).toString().toStdString());
        reported.clear();
        show();
        QTest::keyClick(search(), Qt::Key_Down);
        QTest::keyClick(search(), key, modifiers);
        EXPECT_EQ(reported, expected);
        EXPECT_EQ(panel.isPanelVisible(), staysOpen);
        EXPECT_TRUE(search()->text().isEmpty());
    }

    // The editing keys still reach the field.
    reported.clear();
    QTest::keyClicks(search(), QStringLiteral("cherr"));
    QTest::keyClick(search(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(search(), QStringLiteral("split"));
    EXPECT_EQ(search()->text(), QStringLiteral("split"));
    EXPECT_EQ(rows(), 1);

    // With nothing shown, Return does nothing and the panel stays.
    QTest::keyClicks(search(), QStringLiteral("zebra"));
    QTest::keyClick(search(), Qt::Key_Return);
    EXPECT_TRUE(reported.empty());
    EXPECT_TRUE(panel.isPanelVisible());
}

TEST_F(SearchPanelTest, CtrlReturnSendsOncePerPressStaysAndShowsTheAnswerForAMoment) {
    toastAnswer = "Not sent \u2014 no phone paired";
    show();
    QTest::keyClick(search(), Qt::Key_Down);
    QElapsedTimer clock;
    clock.start();
    QTest::keyClick(search(), Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(reported, std::vector<std::string>{"resend:hist:" + history[1].id});
    EXPECT_TRUE(panel.isPanelVisible());
    EXPECT_TRUE(panel.toastLabel()->isVisible());
    EXPECT_EQ(panel.toastLabel()->text(), QString::fromStdString(toastAnswer)) << "the panel says what it was told";
    // Held down, the key repeats: the repeats send nothing.
    for (int i = 0; i < 5; ++i) {
        QTest::simulateEvent(search(), /*press=*/true, Qt::Key_Return, Qt::ControlModifier, QString(),
                             /*repeat=*/true);
    }
    EXPECT_EQ(reported.size(), 1u);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !panel.toastLabel()->isVisible(); }, 5000));
    EXPECT_GE(clock.elapsed(), SorvaneSearchPanel::kToastMs - 20);
    EXPECT_TRUE(panel.isPanelVisible());
}

TEST_F(SearchPanelTest, SendButtonShowsOnlyOnTheHighlightedRowWhileAPhoneCanReceive) {
    show();
    const QRect selectedSlot = PanelHistoryDelegate::sendRect(rowRect(0));
    const QRect otherSlot = PanelHistoryDelegate::sendRect(rowRect(1));
    EXPECT_TRUE(drawnIn(selectedSlot));
    EXPECT_FALSE(drawnIn(otherSlot));

    // Clicking it sends, confirms and keeps the panel open.
    QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, selectedSlot.center());
    EXPECT_EQ(reported, std::vector<std::string>{"resend:hist:" + history[0].id});
    EXPECT_TRUE(panel.toastLabel()->isVisible());
    QApplication::processEvents();
    EXPECT_TRUE(panel.isPanelVisible());

    // Hovering another row moves the selection and the button with it.
    // On X11 the pointer really moves and the hover arrives from the server.
    QTest::mouseMove(list()->viewport(), rowRect(2).center());
    EXPECT_TRUE(QTest::qWaitFor([&] { return selected() == rowId(2); }, 2000)) << selected();
    EXPECT_TRUE(drawnIn(PanelHistoryDelegate::sendRect(rowRect(2))));
    EXPECT_FALSE(drawnIn(selectedSlot));

    // Anywhere else on a row, a click copies that row and hides.
    reported.clear();
    QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, rowRect(3).center());
    EXPECT_EQ(reported, std::vector<std::string>{"hist_tap:" + history[3].id});
    EXPECT_TRUE(QTest::qWaitFor([&] { return !panel.isPanelVisible(); }, 2000));

    // No phone, or sync paused: no button anywhere; its place copies.
    for (const PanelFlags flags : {PanelFlags{false, true, false}, PanelFlags{true, true, true}}) {
        reported.clear();
        show(flags);
        EXPECT_FALSE(drawnIn(selectedSlot));
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, selectedSlot.center());
        EXPECT_EQ(reported, std::vector<std::string>{"hist_tap:" + history[0].id});
        EXPECT_TRUE(QTest::qWaitFor([&] { return !panel.isPanelVisible(); }, 2000));
    }
}

TEST_F(SearchPanelTest, CommandRowsFooterAndEmptyStatesReadAsTheUserExpects) {
    show();
    std::vector<std::string> shown; // id: title|hint
    for (PanelCommandRow* row : panel.commandRows()) {
        shown.push_back(row->id() + ": " + (row->title() + '|' + row->hint()).toStdString());
        EXPECT_TRUE(row->isVisible() && row->height() > 0) << row->id();
    }
    EXPECT_EQ(shown, (std::vector<std::string>{
                         "header:connected: Pixel 8 \u00b7 Connected|Unpair",
                         "toggle_pause: \u23f8 Pause Sync|Ctrl+P",
                         "preferences: Preferences\u2026|Ctrl+,", "about: About Sorvane|Ctrl+I",
                         "check_updates: Check for Updates\u2026|", "quit: Quit Sorvane|Ctrl+Q"}));

    QTest::mouseClick(panel.commandRows()[0], Qt::LeftButton);
    QTest::mouseClick(panel.commandRows()[2], Qt::LeftButton);
    EXPECT_EQ(reported, (std::vector<std::string>{"header:connected", "preferences"}));
    EXPECT_TRUE(panel.isPanelVisible());

    // The footer, and the list's empty states.
    EXPECT_EQ(panel.footerLeft()->text(), QStringLiteral("\u21b5 paste & send \u00b7 esc close"));
    EXPECT_EQ(panel.footerRight()->text(), QStringLiteral("5 clips"));
    QTest::keyClicks(search(), QStringLiteral("  Zebra "));
    EXPECT_TRUE(panel.emptyLabel()->isVisible());
    EXPECT_FALSE(list()->isVisible());
    EXPECT_EQ(panel.emptyLabel()->text(), QStringLiteral("No results for \"  Zebra \""));
    EXPECT_EQ(panel.footerRight()->text(), QStringLiteral("5 clips")); // all rows, not the shown ones

    panel.updatePanel(panelRows(history, true, true, true), {true, false, true});
    EXPECT_EQ(panel.footerLeft()->text(), QStringLiteral("\u21b5 copy \u00b7 esc close"));
    panel.updatePanel(panelRows(history, true, false), {false, true, false});
    EXPECT_EQ(panel.footerLeft()->text(), QStringLiteral("\u21b5 paste \u00b7 esc close"));

    // A pasted document: the field keeps it all, the line repeats its start.
    const QString pasted = QString(QStringLiteral("zebra ")).repeated(5000);
    search()->clear();
    search()->insert(pasted);
    EXPECT_EQ(panel.state().query().size(), static_cast<size_t>(pasted.size()));
    EXPECT_EQ(panel.emptyLabel()->text(),
              QStringLiteral("No results for \"") + pasted.left(SorvaneSearchPanel::kLongestShownQuery) +
                  QChar(0x2026) + QLatin1Char('"'));

    history.clear();
    show({false, true, false});
    EXPECT_EQ(panel.emptyLabel()->text(), QStringLiteral("No clippings yet"));
    EXPECT_TRUE(panel.emptyLabel()->isVisible());
    EXPECT_EQ(panel.footerRight()->text(), QStringLiteral("0 clips"));
}

TEST_F(SearchPanelTest, OpensAtTheTopCentreWithTheFocusInTheSearchFieldAndResetsOnReopening) {
    show();
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    ASSERT_NE(screen, nullptr);
    const QRect area = screen->availableGeometry();
    EXPECT_EQ(panel.size(), QSize(360, 460));
    EXPECT_TRUE(QTest::qWaitFor([&] { return panel.frameGeometry().top() == area.top(); }, 2000))
        << panel.frameGeometry().top() << " vs " << area.top();
    EXPECT_LE(std::abs(panel.frameGeometry().center().x() - area.center().x()), 1);
    EXPECT_TRUE(panel.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == search(); }, 2000));

    // Typed, moved down and scrolled: reopening starts afresh.
    for (int i = 0; i < 60; ++i)
        history.push_back(seededEntry("more " + std::to_string(i), 600000 + i, Direction::sent, "m" + std::to_string(i)));
    show();
    QTest::keyClicks(search(), QStringLiteral("more"));
    for (int i = 0; i < 40; ++i)
        QTest::keyClick(search(), Qt::Key_Down);
    // The list follows the selection until the row shows whole.
    const QRect viewport = list()->viewport()->rect();
    EXPECT_TRUE(QTest::qWaitFor([&] { return viewport.contains(rowRect(40)); }, 2000));
    EXPECT_GT(list()->verticalScrollBar()->value(), 0);
    QTest::keyClick(search(), Qt::Key_Down);
    EXPECT_TRUE(QTest::qWaitFor([&] { return viewport.contains(rowRect(41)); }, 2000));
    EXPECT_EQ(rowRect(41).bottom(), viewport.bottom()) << "scrolled just far enough";
    panel.hidePanel();
    show();
    EXPECT_TRUE(search()->text().isEmpty());
    EXPECT_EQ(rows(), 65);
    EXPECT_EQ(selected(), rowId(0));
    EXPECT_EQ(list()->verticalScrollBar()->value(), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == search(); }, 2000));
}

// On X11 a click outside the panel hides it while the click still reaches its
// window. Under Wayland, XWayland sees no click on a native window; the
// compositor moving the focus to another program stands in for it, while a
// window of our own taking the focus (an alert the panel asked for) leaves the
// panel open.
TEST_F(SearchPanelTest, X11ClickOutsideOrUnderWaylandTheFocusLeavingThisProgramHides) {
    if (gX11Display.empty())
        GTEST_SKIP() << "runs with --x11";
    OtherClientWindow other(gX11Display);
    ASSERT_TRUE(QTest::qWaitFor([&] { return other.mapped(); }, 5000));
    show();
    ASSERT_TRUE(panel.clickWatcher()->watchesOtherPrograms());
    const OtherClientWindow::Point target = other.centre();
    ASSERT_FALSE(panel.frameGeometry().contains(QPoint(target.x, target.y)));

    // A click inside the panel leaves it open.
    const QPoint inside = panel.mapToGlobal(search()->geometry().center());
    other.click({inside.x(), inside.y()});
    QTest::qWait(200);
    EXPECT_TRUE(panel.isPanelVisible());

    // On X11 the focus going elsewhere does not hide it either.
    other.takeFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return other.hasFocus(); }, 2000));
    QTest::qWait(200);
    EXPECT_TRUE(panel.isPanelVisible());

    // A click on the other client's window hides it, and that window gets the click.
    other.click(target);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !panel.isPanelVisible(); }, 3000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return other.presses() == 1; }, 3000));
    EXPECT_TRUE(reported.empty());

    // Under Wayland.
    panel.clickWatcher()->setHidesOnFocusLoss(true);
    show();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return QGuiApplication::applicationState() == Qt::ApplicationActive; }, 2000));
    QWidget alert;
    ASSERT_TRUE(activateAnother(alert));
    QTest::qWait(200);
    EXPECT_TRUE(panel.isPanelVisible());

    // The window manager may still be acting on the last activation: ask
    // until the other program has the focus.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            other.takeFocus();
            return other.hasFocus();
        },
        3000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !panel.isPanelVisible(); }, 3000));
    EXPECT_TRUE(panel.hiddenByClickWithin(std::chrono::milliseconds(2000)));
}

TEST_F(SearchPanelTest, ClickInAnotherWindowOfThisProgramHides) {
    QWidget preferences;
    preferences.resize(200, 100);
    preferences.move(20, 480);
    preferences.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&preferences));
    show();
    QTest::mouseClick(&preferences, Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !panel.isPanelVisible(); }, 2000));
}

} // namespace

// A click's position comes in the X server's pixels; on a scaled screen that is
// not at the origin, only its own scale and origin give the place in the panel's
// terms (dividing by one ratio puts it on the wrong screen).
TEST(PanelClickMapping, NativePixelsMapThroughTheScreenUnderThem) {
    const std::vector<ScreenPlacement> screens = {{QPoint(0, 0), QSize(1920, 1080), 1.0},
                                                  {QPoint(1920, 0), QSize(1280, 720), 2.0}};
    EXPECT_EQ(nativeToLogical(QPoint(100, 50), screens), QPoint(100, 50));
    EXPECT_EQ(nativeToLogical(QPoint(1920 + 400, 200), screens), QPoint(1920 + 200, 100));
    EXPECT_EQ(nativeToLogical(QPoint(1920 + 2559, 1439), screens), QPoint(1920 + 1280, 720));
    // Nowhere on a screen: the first screen's scale.
    EXPECT_EQ(nativeToLogical(QPoint(-10, -20), screens), QPoint(-10, -20));
}

} // namespace sorvane::testing
