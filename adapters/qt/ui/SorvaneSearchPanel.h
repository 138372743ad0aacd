// The search panel window: a frameless, always-on-top tool window with a
// search field, the filtered clipboard history, the commands and a footer. It
// shows one PanelState, which it owns, and reports every activation through the
// state's onSelect.
//
// It opens at the top centre of the screen under the pointer with the keyboard
// focus in the search field, and hides on Escape, on a choice and on a click
// outside it (on X11 never merely because another window took the focus; under
// Wayland, where clicks on native windows cannot be seen, the focus leaving
// this program counts as such a click). Keys:
// Up/Down move the selection, Return copies the selected entry and hides,
// Ctrl+Return sends it to the phone and stays, Ctrl+P, Ctrl+comma, Ctrl+I and
// Ctrl+Q report "toggle_pause", "preferences", "about" and "quit"; every other
// key goes to the search field.
//
// Thread-safety: main thread only, with a QApplication.
#pragma once

#include "ui/PanelState.h"
#include "ui/SearchPanelView.h"

#include <QSize>
#include <QWidget>

#include <chrono>
#include <optional>
#include <vector>

class QLabel;
class QLineEdit;
class QListView;
class QStackedWidget;
class QTimer;
class QVBoxLayout;
class QVariantAnimation;

namespace sorvane {

class PanelClickWatcher;
class PanelCommandRow;
class PanelHistoryDelegate;
class PanelHistoryModel;

class SorvaneSearchPanel final : public QWidget, public SearchPanelView {
public:
    // The panel, hidden, of the given size in device-independent pixels.
    explicit SorvaneSearchPanel(QSize size = QSize(360, 460), QWidget* parent = nullptr);
    ~SorvaneSearchPanel() override;

    void showPanel(std::vector<PanelItemDef> items, PanelFlags flags, OnSelect onSelect) override;
    void updatePanel(std::vector<PanelItemDef> items, PanelFlags flags) override;
    void hidePanel() override;
    bool isPanelVisible() const override;
    void showToast(const std::string& text) override;

    const PanelState& state() const { return m_state; }
    // True when a click outside hid the panel less than `window` ago. A click on
    // the tray icon is such a click, and arrives before the icon's own toggle,
    // which must then leave the panel closed rather than open it again.
    bool hiddenByClickWithin(std::chrono::milliseconds window) const {
        return m_hiddenByClickAt && std::chrono::steady_clock::now() - *m_hiddenByClickAt < window;
    }

    // The parts a user sees, for the tests and the screenshot tool.
    QLineEdit* searchField() const { return m_search; }
    QListView* historyList() const { return m_list; }
    const PanelHistoryDelegate* historyDelegate() const { return m_delegate; }
    QLabel* emptyLabel() const { return m_empty; }
    QLabel* toastLabel() const { return m_toast; }
    QLabel* footerLeft() const { return m_footerLeft; }
    QLabel* footerRight() const { return m_footerRight; }
    std::vector<PanelCommandRow*> commandRows() const { return m_rows; }
    PanelClickWatcher* clickWatcher() const { return m_clicks; }


    // How long "Sent to phone" stays.
    static constexpr int kToastMs = 1200;
    // How long the list takes to scroll a row chosen by the keys into view.
    static constexpr int kScrollMs = 150;
    // The longest query the empty-state line repeats (in UTF-16 units); a
    // longer one is cut and ends in an ellipsis.
    static constexpr int kLongestShownQuery = 200;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh();
    void rebuildCommandRows();
    void showAtDefaultPosition();
    void scrollToRow(int row);
    bool handleKey(QKeyEvent* event);
    bool handleListMouse(QEvent* event);
    void selectItem(const std::string& id);
    void resend(const std::string& id);
    void flash(const QString& text);
    QString footerText() const;

    PanelState m_state;
    bool m_itemsChanged = false;
    std::vector<PanelItemDef> m_shownCommands;

    QLineEdit* m_search = nullptr;
    QLabel* m_toast = nullptr;
    QTimer* m_toastTimer = nullptr;
    QStackedWidget* m_body = nullptr;
    QListView* m_list = nullptr;
    QVariantAnimation* m_scroll = nullptr;
    PanelHistoryModel* m_model = nullptr;
    PanelHistoryDelegate* m_delegate = nullptr;
    QLabel* m_empty = nullptr;
    QVBoxLayout* m_commands = nullptr;
    std::vector<PanelCommandRow*> m_rows;
    QLabel* m_footerLeft = nullptr;
    QLabel* m_footerRight = nullptr;
    PanelClickWatcher* m_clicks = nullptr;
    QPoint m_lastMouse{-1, -1};
    int m_pressedRow = -1;
    std::optional<std::chrono::steady_clock::time_point> m_hiddenByClickAt;
};

} // namespace sorvane
