// The history file's codec. Reading goes through nlohmann-json. Writing has its
// own serializer for this one fixed shape: nlohmann's dump copies every text into
// a json value and walks each byte through a UTF-8 decoder, which made a record
// with large texts cost several times its disk write. The output is byte for byte
// what dump(4, ' ', false, replace) gives; the tests hold it against nlohmann.
#include "store/HistoryFile.h"

#include "base/Utf8.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace sorvane {
namespace {

using nlohmann::json;

// ---- Writing

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

constexpr uint64_t zeroByteIn(uint64_t w) {
    return (w - kOnes) & ~w & kHighs;
}

// True when any of the 8 bytes is a control character, a quote, a backslash or
// not ASCII: a byte that cannot be copied through without a look.
constexpr bool needsLook(uint64_t w) {
    uint64_t below0x20 = (w - kOnes * 0x20) & ~w & kHighs;
    return (below0x20 | (w & kHighs) | zeroByteIn(w ^ (kOnes * '"')) |
            zeroByteIn(w ^ (kOnes * '\\'))) != 0;
}

void appendEscaped(std::string& out, std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    const size_t n = s.size();
    size_t run = 0; // start of the bytes not yet copied
    size_t i = 0;
    while (i < n) {
        // Skip 8 clean bytes at a time, then look at the next 8 one by one.
        while (i + 8 <= n) {
            uint64_t w;
            std::memcpy(&w, s.data() + i, 8);
            if (needsLook(w))
                break;
            i += 8;
        }
        const size_t stop = std::min(n, i + 8);
        while (i < stop) {
            auto b = static_cast<uint8_t>(s[i]);
            if (b >= 0x20 && b < 0x80 && b != '"' && b != '\\') {
                ++i;
                continue;
            }
            if (b >= 0x80) {
                int length = utf8SequenceLength(s, i);
                if (length > 0) {
                    i += static_cast<size_t>(length);
                    continue;
                }
                out.append(s.data() + run, i - run);
                out.append(kReplacement);
                // A bad lead byte is dropped; after a good lead the offending
                // byte is read again as the start of the next character.
                i += length == 0 ? 1 : static_cast<size_t>(-length);
                run = i;
                continue;
            }
            out.append(s.data() + run, i - run);
            switch (b) {
            case '"':
                out.append("\\\"");
                break;
            case '\\':
                out.append("\\\\");
                break;
            case '\b':
                out.append("\\b");
                break;
            case '\t':
                out.append("\\t");
                break;
            case '\n':
                out.append("\\n");
                break;
            case '\f':
                out.append("\\f");
                break;
            case '\r':
                out.append("\\r");
                break;
            default: {
                const char u[] = {'\\', 'u', '0', '0', kHex[b >> 4], kHex[b & 0x0F]};
                out.append(u, sizeof u);
            }
            }
            ++i;
            run = i;
        }
    }
    out.append(s.data() + run, n - run);
}

void appendString(std::string& out, std::string_view s) {
    out.push_back('"');
    appendEscaped(out, s);
    out.push_back('"');
}

// ---- Reading

std::optional<std::string> stringMember(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

// A signed 64-bit integer; floats and values past INT64_MAX do not qualify.
std::optional<int64_t> signedMember(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_number_integer())
        return std::nullopt;
    if (it->is_number_unsigned() &&
        it->get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        return std::nullopt;
    return it->get<int64_t>();
}

std::optional<ClipboardEntry> decodeEntry(const json& object) {
    if (!object.is_object())
        return std::nullopt;
    auto direction = stringMember(object, "direction");
    auto hash = stringMember(object, "hash");
    auto id = stringMember(object, "id");
    auto text = stringMember(object, "text");
    auto timestamp = object.find("timestamp");
    if (!direction || !hash || !id || !text || timestamp == object.end() ||
        !timestamp->is_number_unsigned())
        return std::nullopt;
    auto parsedDirection = directionFromName(*direction);
    if (!parsedDirection)
        return std::nullopt;
    return ClipboardEntry{std::move(*id), std::move(*text), std::move(*hash),
                          timestamp->get<uint64_t>(), *parsedDirection};
}

} // namespace

std::string_view directionName(Direction direction) {
    return direction == Direction::sent ? "sent" : "received";
}

std::optional<Direction> directionFromName(std::string_view name) {
    if (name == "sent")
        return Direction::sent;
    if (name == "received")
        return Direction::received;
    return std::nullopt;
}

std::string encodeHistoryEntry(const ClipboardEntry& e) {
    std::string out;
    out.reserve(e.text.size() + e.text.size() / 16 + e.id.size() + e.hash.size() + 160);
    out += "        {\n            \"direction\": ";
    appendString(out, directionName(e.direction));
    out += ",\n            \"hash\": ";
    appendString(out, e.hash);
    out += ",\n            \"id\": ";
    appendString(out, e.id);
    out += ",\n            \"text\": ";
    appendString(out, e.text);
    out += ",\n            \"timestamp\": ";
    out += std::to_string(e.timestamp);
    out += "\n        }";
    return out;
}

HistoryFileLayout::HistoryFileLayout(const PersistShape& settings,
                                     const std::vector<std::string>& entryBlocks)
    : HistoryFileLayout(settings,
                        std::vector<std::string_view>(entryBlocks.begin(), entryBlocks.end())) {}

HistoryFileLayout::HistoryFileLayout(const PersistShape& settings,
                                     std::vector<std::string_view> entryBlocks)
    : m_blocks(std::move(entryBlocks)) {
    m_head = "{\n    \"auto_apply_incoming\": ";
    m_head += settings.autoApplyIncoming ? "true" : "false";
    m_head += ",\n    \"entries\": ";
    m_head += m_blocks.empty() ? "[]" : "[\n";
    m_tail = m_blocks.empty() ? "" : "\n    ]";
    m_tail += ",\n    \"max_entries\": ";
    m_tail += std::to_string(settings.maxEntries);
    m_tail += ",\n    \"page_size\": ";
    m_tail += std::to_string(settings.pageSize);
    m_tail += "\n}";
}

std::vector<std::string_view> HistoryFileLayout::pieces() const {
    static constexpr std::string_view kSeparator = ",\n";
    std::vector<std::string_view> out;
    out.reserve(2 * m_blocks.size() + 2);
    out.push_back(m_head);
    for (size_t k = 0; k < m_blocks.size(); ++k) {
        if (k > 0)
            out.push_back(kSeparator);
        out.push_back(m_blocks[k]);
    }
    out.push_back(m_tail);
    return out;
}

std::string HistoryFileLayout::joined() const {
    auto parts = pieces();
    size_t total = 0;
    for (auto p : parts)
        total += p.size();
    std::string out;
    out.reserve(total);
    for (auto p : parts)
        out.append(p);
    return out;
}

std::string encodeHistoryFile(const PersistShape& state) {
    std::vector<std::string> blocks;
    blocks.reserve(state.entries.size());
    for (const auto& e : state.entries)
        blocks.push_back(encodeHistoryEntry(e));
    return HistoryFileLayout(state, blocks).joined();
}

std::optional<PersistShape> decodeHistoryFile(std::string_view text) {
    json document = json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!document.is_object())
        return std::nullopt;
    auto autoApply = document.find("auto_apply_incoming");
    auto entries = document.find("entries");
    auto maxEntries = signedMember(document, "max_entries");
    auto pageSize = signedMember(document, "page_size");
    if (autoApply == document.end() || !autoApply->is_boolean() || entries == document.end() ||
        !entries->is_array() || !maxEntries || !pageSize)
        return std::nullopt;
    PersistShape state;
    state.autoApplyIncoming = autoApply->get<bool>();
    // A hand-edited maximum below 1 would let record() keep nothing, or trim by a
    // negative count; hold it where setMax() would.
    state.maxEntries = std::max<int64_t>(*maxEntries, 1);
    state.pageSize = *pageSize;
    state.entries.reserve(entries->size());
    for (const auto& element : *entries) {
        auto entry = decodeEntry(element);
        if (!entry)
            return std::nullopt;
        state.entries.push_back(std::move(*entry));
    }
    return state;
}

} // namespace sorvane
