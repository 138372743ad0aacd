// The search panel as the delegate drives it: the window that shows a
// PanelState. The view owns the one PanelState of the process and creates the
// window on first use; both are kept until the program ends.
//
// Thread-safety: main thread only. The delegate schedules these calls on the
// main queue itself; implementations do their work at once.
#pragma once

#include "ui/PanelItems.h"

#include <functional>
#include <string>
#include <vector>

namespace sorvane {

struct PanelFlags {
    bool isPhoneConnected = false;
    bool autoPaste = true;
    bool syncPaused = false;
};

class SearchPanelView {
public:
    using OnSelect = std::function<void(const std::string& actionId)>;

    virtual ~SearchPanelView() = default;

    // Creates the panel if needed, writes the rows and flags, replaces onSelect,
    // and shows it at its default place with an empty query and the first
    // history row selected.
    virtual void showPanel(std::vector<PanelItemDef> items, PanelFlags flags, OnSelect onSelect) = 0;
    // Writes the rows and flags when the panel exists, shown or not; the query,
    // the selection and onSelect stay. Before the first show: nothing.
    virtual void updatePanel(std::vector<PanelItemDef> items, PanelFlags flags) = 0;
    // Orders the panel out; it is kept for the next show.
    virtual void hidePanel() = 0;
    virtual bool isPanelVisible() const = 0;
    // Shows `text` briefly under the list (what became of a send); nothing
    // when the panel is hidden.
    virtual void showToast(const std::string& text) = 0;
};

} // namespace sorvane
