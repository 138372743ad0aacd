// The search panel, made off start-up's path: at prepare() (the program calls
// it once the radio is under way) or at its first showing, whichever comes
// first. Building the window would otherwise hold up the advertising by a
// quarter of start-up; until it is made the panel answers as a closed one does.
//
// Thread-safety: main thread only, with a QApplication.
#pragma once

#include "adapters/qt/ui/SorvaneSearchPanel.h"

#include <chrono>
#include <memory>

namespace sorvane {

class LazySearchPanel final : public SearchPanelView {
public:
    // Makes the window now, unless it is made already.
    void prepare() {
        if (!m_panel)
            m_panel = std::make_unique<SorvaneSearchPanel>();
    }
    void showPanel(std::vector<PanelItemDef> items, PanelFlags flags, OnSelect onSelect) override {
        prepare();
        m_panel->showPanel(std::move(items), flags, std::move(onSelect));
    }
    // A panel not yet made has nothing shown to bring up to date: the next
    // showing brings its own rows.
    void updatePanel(std::vector<PanelItemDef> items, PanelFlags flags) override {
        if (m_panel)
            m_panel->updatePanel(std::move(items), flags);
    }
    void hidePanel() override {
        if (m_panel)
            m_panel->hidePanel();
    }
    bool isPanelVisible() const override { return m_panel && m_panel->isPanelVisible(); }
    void showToast(const std::string& text) override {
        if (m_panel)
            m_panel->showToast(text);
    }
    // As SorvaneSearchPanel's: a click outside hid it less than `window` ago.
    bool hiddenByClickWithin(std::chrono::milliseconds window) const {
        return m_panel && m_panel->hiddenByClickWithin(window);
    }
    // The window, once made; null before the first showing.
    SorvaneSearchPanel* made() const { return m_panel.get(); }

private:
    std::unique_ptr<SorvaneSearchPanel> m_panel;
};

} // namespace sorvane
