#include "ui/PanelState.h"

#include "ui/TextSearch.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace sorvane {

std::string unicodeLowercase(std::string_view text) {
    icu::UnicodeString s = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    s.toLower(icu::Locale::getRoot());
    std::string out;
    s.toUTF8String(out);
    return out;
}

std::string normalizedQuery(std::string_view query) {
    icu::UnicodeString s = icu::UnicodeString::fromUTF8(
        icu::StringPiece(query.data(), static_cast<int32_t>(query.size())));
    s.toLower(icu::Locale::getRoot());
    // Spaces (every space separator) and tabs, not line breaks.
    auto blank = [](UChar32 c) { return c == u'\t' || u_charType(c) == U_SPACE_SEPARATOR; };
    int32_t start = 0;
    int32_t end = s.length();
    while (start < end && blank(s.char32At(start)))
        start = s.moveIndex32(start, 1);
    while (end > start && blank(s.char32At(s.moveIndex32(end, -1))))
        end = s.moveIndex32(end, -1);
    std::string out;
    s.tempSubStringBetween(start, end).toUTF8String(out);
    return out;
}

void PanelState::publish() const {
    for (const auto& observer : m_observers)
        observer();
}

void PanelState::setItems(std::vector<PanelItemDef> items) {
    m_items = std::move(items);
    m_matches.reset();
    m_checkedOverrides.clear();
    clampSelection();
    publish();
}

void PanelState::setQuery(std::string query) {
    if (query == m_query)
        return;
    m_query = std::move(query);
    m_needle = normalizedQuery(m_query);
    clampSelection();
    publish();
}

void PanelState::setSelectedId(std::optional<std::string> id) {
    if (id == m_selectedId)
        return;
    m_selectedId = std::move(id);
    publish();
}

void PanelState::setScrollToId(std::optional<std::string> id) {
    if (id == m_scrollToId)
        return;
    m_scrollToId = std::move(id);
    publish();
}

void PanelState::setFlags(bool isPhoneConnected, bool autoPaste, bool syncPaused) {
    if (isPhoneConnected == m_isPhoneConnected && autoPaste == m_autoPaste && syncPaused == m_syncPaused)
        return;
    m_isPhoneConnected = isPhoneConnected;
    m_autoPaste = autoPaste;
    m_syncPaused = syncPaused;
    publish();
}

const std::vector<size_t>& PanelState::matchingRows() const {
    if (m_matches && m_matchedNeedle == m_needle)
        return *m_matches;
    const bool narrows = m_matches && m_needle.find(m_matchedNeedle) != std::string::npos;
    std::vector<size_t> candidates;
    if (narrows) {
        candidates = std::move(*m_matches);
    } else {
        for (size_t i = 0; i < m_items.size(); ++i)
            if (m_items[i].isHistory() && m_items[i].enabled.value_or(true))
                candidates.push_back(i);
    }
    std::vector<size_t> found;
    for (size_t i : candidates) {
        const PanelItemDef& item = m_items[i];
        // A row without its entry is searched by its label.
        const std::string_view text = item.entry ? std::string_view(item.entry->text)
                                                 : std::string_view(item.labelText());
        if (containsFolded(text, m_needle))
            found.push_back(i);
    }
    m_matches = std::move(found);
    m_matchedNeedle = m_needle;
    return *m_matches;
}

std::vector<const PanelItemDef*> PanelState::historyItems() const {
    std::vector<const PanelItemDef*> out;
    for (const auto& item : m_items)
        if (item.isHistory() && item.enabled.value_or(true))
            out.push_back(&item);
    return out;
}

std::vector<const PanelItemDef*> PanelState::filteredHistory() const {
    std::vector<const PanelItemDef*> out;
    for (size_t i : matchingRows())
        out.push_back(&m_items[i]);
    return out;
}

std::vector<const PanelItemDef*> PanelState::actionItems() const {
    std::vector<const PanelItemDef*> out;
    for (const auto& item : m_items)
        if (!item.isHistory() && item.kind != "sep")
            out.push_back(&item);
    return out;
}

std::optional<size_t> PanelState::selectedIndex() const {
    if (!m_selectedId)
        return std::nullopt;
    const auto rows = filteredHistory();
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i]->id == *m_selectedId)
            return i;
    return std::nullopt;
}

const PanelItemDef* PanelState::selectedItem() const {
    const auto index = selectedIndex();
    return index ? filteredHistory()[*index] : nullptr;
}

void PanelState::selectIndex(long index) {
    const auto rows = filteredHistory();
    if (index < 0 || static_cast<size_t>(index) >= rows.size())
        return;
    const std::string& id = rows[static_cast<size_t>(index)]->id;
    if (m_selectedId == id && m_scrollToId == id)
        return;
    m_selectedId = id;
    m_scrollToId = id;
    publish();
}

void PanelState::clampSelection() {
    if (!m_selectedId || selectedIndex())
        return;
    const auto rows = filteredHistory();
    m_selectedId = rows.empty() ? std::nullopt : std::optional<std::string>(rows.front()->id);
    publish();
}

void PanelState::resetForShow() {
    m_query.clear();
    m_needle.clear();
    const auto rows = filteredHistory();
    m_selectedId = rows.empty() ? std::nullopt : std::optional<std::string>(rows.front()->id);
    m_scrollToId = m_selectedId;
    publish();
}

void PanelState::moveSelectionDown() {
    const auto index = selectedIndex();
    selectIndex(index ? static_cast<long>(*index) + 1 : 0);
}

void PanelState::moveSelectionUp() {
    const auto index = selectedIndex();
    selectIndex(index ? static_cast<long>(*index) - 1 : 0);
}

std::optional<std::string> PanelState::returnAction() const {
    const PanelItemDef* item = selectedItem();
    if (!item)
        return std::nullopt;
    if (item->id.starts_with(kHistoryRowPrefix))
        return std::string(kHistoryTapPrefix) + item->id.substr(kHistoryRowPrefix.size());
    return item->id;
}

std::optional<std::string> PanelState::resendAction() const {
    const PanelItemDef* item = selectedItem();
    if (!item)
        return std::nullopt;
    return std::string(kResendPrefix) + item->id;
}

} // namespace sorvane
