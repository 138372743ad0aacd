// The search panel's model: the rows, the typed query, the selection and the
// three flags the panel shows. The view observes it and redraws on every change;
// the selection rules live here so that they are the same with any view.
//
// Thread-safety: main thread only, like the panel.
#pragma once

#include "ui/PanelItems.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sorvane {

class PanelState {
public:
    using Observer = std::function<void()>;

    // Called after every change of a published field, in the order added.
    void addObserver(Observer observer) { m_observers.push_back(std::move(observer)); }

    // Published fields.
    const std::vector<PanelItemDef>& items() const { return m_items; }
    const std::string& query() const { return m_query; }
    const std::optional<std::string>& selectedId() const { return m_selectedId; }
    const std::optional<std::string>& scrollToId() const { return m_scrollToId; }
    const std::map<std::string, bool>& checkedOverrides() const { return m_checkedOverrides; }
    bool isPhoneConnected() const { return m_isPhoneConnected; }
    bool autoPaste() const { return m_autoPaste; }
    bool syncPaused() const { return m_syncPaused; }

    // Replaces the rows; empties the check-mark overrides and keeps the
    // selection on a row that is still shown (clampSelection).
    void setItems(std::vector<PanelItemDef> items);
    // The text as typed; the selection follows (clampSelection).
    void setQuery(std::string query);
    void setSelectedId(std::optional<std::string> id);
    void setScrollToId(std::optional<std::string> id);
    void setFlags(bool isPhoneConnected, bool autoPaste, bool syncPaused);

    // Receives the action id of every activated row or panel shortcut; absent
    // until the first show, and then nothing is reported.
    std::function<void(const std::string&)> onSelect;
    void select(const std::string& actionId) const {
        if (onSelect)
            onSelect(actionId);
    }

    // Derived, computed on every call.
    std::vector<const PanelItemDef*> historyItems() const;
    std::vector<const PanelItemDef*> filteredHistory() const;
    std::vector<const PanelItemDef*> actionItems() const;
    std::optional<size_t> selectedIndex() const;
    const PanelItemDef* selectedItem() const;

    // Selects row `index` of filteredHistory and asks the view to scroll to it;
    // an index outside the list changes nothing.
    void selectIndex(long index);
    // Keeps the selection on a shown row: a selection that the query hides moves
    // to the first shown row, or to none.
    void clampSelection();
    // What a show does: empty query, the first shown row selected and scrolled to.
    void resetForShow();
    void moveSelectionDown();
    void moveSelectionUp();

    // The action a Return reports for the selected row ("hist_tap:" + entry id),
    // or for Ctrl+Return ("resend:" + row id); absent when nothing is selected.
    std::optional<std::string> returnAction() const;
    std::optional<std::string> resendAction() const;

private:
    void publish() const;
    // The indices in m_items of the history rows the needle finds, worked out
    // once per query: from the rows the previous needle found when the new one
    // contains it (typing on narrows), from all of them otherwise.
    const std::vector<size_t>& matchingRows() const;

    std::vector<PanelItemDef> m_items;
    std::string m_query;
    std::string m_needle; // the query lower-cased and trimmed
    mutable std::optional<std::vector<size_t>> m_matches; // for m_matchedNeedle
    mutable std::string m_matchedNeedle;
    std::optional<std::string> m_selectedId;
    std::optional<std::string> m_scrollToId;
    std::map<std::string, bool> m_checkedOverrides;
    bool m_isPhoneConnected = false;
    bool m_autoPaste = true;
    bool m_syncPaused = false;
    std::vector<Observer> m_observers;
};

// The query as matched against each entry's whole text (never the row's arrow or
// age): Unicode lower case (locale-independent), then spaces and tabs trimmed
// from both ends (line breaks are kept).
std::string normalizedQuery(std::string_view query);
// Unicode lower case of `text`, locale-independent; ill-formed UTF-8 reads as U+FFFD.
std::string unicodeLowercase(std::string_view text);

} // namespace sorvane
