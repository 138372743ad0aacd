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

// For 8 ASCII bytes: how many more the file holds for them (1 for a quote, a
// backslash or a control character with a short escape, 5 for any other control
// character, which becomes \u00XX). Exact per byte: no carry crosses a byte.
inline size_t escapeGrowth(uint64_t w) {
    const uint64_t control = ~(w + kOnes * 0x60) & kHighs; // below 0x20
    const auto is = [w](uint8_t c) { return ~((w ^ (kOnes * c)) + kOnes * 0x7F) & kHighs; };
    const uint64_t twoBytes =
        is('"') | is('\\') | is('\b') | is('\t') | is('\n') | is('\f') | is('\r');
    // Each mask has at most the top bit of each byte set: brought down to one
    // per byte, a multiply sums them into the top byte (no POPCNT in the base
    // instruction set).
    const auto count = [](uint64_t highs) {
        return static_cast<size_t>(((highs >> 7) * kOnes) >> 56);
    };
    return count(control | twoBytes) + 4 * count(control & ~twoBytes);
}

// Walks `s` as the encoder writes it: sink.copy(from, to) for a run of bytes
// that goes into the file as it stands, sink.put(bytes) for what stands in the
// file in place of a byte or an ill-formed sequence. Counting and writing share
// this walk, so a count is exact by construction.
template <class Sink> void walkEscaped(std::string_view s, Sink& sink) {
    static constexpr char kHex[] = "0123456789abcdef";
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    const size_t n = s.size();
    size_t run = 0; // start of the bytes not yet handed to the sink
    size_t i = 0;
    while (i < n) {
        // Skip 8 clean bytes at a time, then look at the next 8 one by one (a
        // sink that can take 8 ASCII bytes whole is handed them instead).
        while (i + 8 <= n) {
            uint64_t w;
            std::memcpy(&w, s.data() + i, 8);
            if (!needsLook(w)) {
                i += 8;
                continue;
            }
            if constexpr (Sink::kTakesWords) {
                if ((w & kHighs) == 0) {
                    sink.copy(run, i);
                    sink.word(w);
                    i += 8;
                    run = i;
                    continue;
                }
            }
            break;
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
                sink.copy(run, i);
                sink.put(kReplacement);
                // A bad lead byte is dropped; after a good lead the offending
                // byte is read again as the start of the next character.
                i += length == 0 ? 1 : static_cast<size_t>(-length);
                run = i;
                continue;
            }
            sink.copy(run, i);
            switch (b) {
            case '"':
                sink.put("\\\"");
                break;
            case '\\':
                sink.put("\\\\");
                break;
            case '\b':
                sink.put("\\b");
                break;
            case '\t':
                sink.put("\\t");
                break;
            case '\n':
                sink.put("\\n");
                break;
            case '\f':
                sink.put("\\f");
                break;
            case '\r':
                sink.put("\\r");
                break;
            default: {
                const char u[] = {'\\', 'u', '0', '0', kHex[b >> 4], kHex[b & 0x0F]};
                sink.put(std::string_view(u, sizeof u));
            }
            }
            ++i;
            run = i;
        }
    }
    sink.copy(run, n);
}

struct Appender {
    static constexpr bool kTakesWords = false;
    std::string& out;
    std::string_view source;
    void copy(size_t from, size_t to) { out.append(source.data() + from, to - from); }
    void put(std::string_view bytes) { out.append(bytes); }
};

// Writes the encoded text only once something in it is escaped or replaced:
// until then `out` stays empty, and the text can go to the file as it stands.
struct CopyOnChange {
    static constexpr bool kTakesWords = false;
    std::string_view source;
    std::optional<std::string>& out;
    size_t cleanUpTo = 0;
    void copy(size_t from, size_t to) {
        if (out)
            out->append(source.data() + from, to - from);
        else
            cleanUpTo = to; // the runs before the first change start at 0
    }
    void put(std::string_view bytes) {
        if (!out) {
            out.emplace();
            out->reserve(source.size() + source.size() / 16 + 16);
            out->append(source.data(), cleanUpTo);
        }
        out->append(bytes);
    }
};

struct Counter {
    static constexpr bool kTakesWords = true;
    size_t bytes = 0;
    void copy(size_t from, size_t to) { bytes += to - from; }
    void word(uint64_t w) { bytes += 8 + escapeGrowth(w); }
    void put(std::string_view replacement) { bytes += replacement.size(); }
};

void appendEscaped(std::string& out, std::string_view s) {
    Appender sink{out, s};
    walkEscaped(s, sink);
}

void appendString(std::string& out, std::string_view s) {
    out.push_back('"');
    appendEscaped(out, s);
    out.push_back('"');
}

constexpr std::string_view kEntrySeparator = ",\n";

// An entry's block up to and with the text's opening quote, and from its closing
// quote on.
std::string entryHead(const ClipboardEntry& e) {
    std::string out;
    out.reserve(e.id.size() + e.hash.size() + 128);
    out += "        {\n            \"direction\": ";
    appendString(out, directionName(e.direction));
    out += ",\n            \"hash\": ";
    appendString(out, e.hash);
    out += ",\n            \"id\": ";
    appendString(out, e.id);
    out += ",\n            \"text\": \"";
    return out;
}

std::string entryTail(const ClipboardEntry& e) {
    std::string out = "\",\n            \"timestamp\": ";
    out += std::to_string(e.timestamp);
    out += "\n        }";
    return out;
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

size_t encodedTextSize(std::string_view text) {
    Counter counter;
    walkEscaped(text, counter);
    return counter.bytes;
}

size_t historyFileBytesOf(const ClipboardEntry& entry) {
    return entryHead(entry).size() + encodedTextSize(entry.text) + entryTail(entry).size() +
           kEntrySeparator.size();
}

EncodedEntry::EncodedEntry(const ClipboardEntry& entry)
    : m_entry(&entry), m_head(entryHead(entry)), m_tail(entryTail(entry)) {
    CopyOnChange sink{entry.text, m_escapedText};
    walkEscaped(entry.text, sink);
}

std::array<std::string_view, 3> EncodedEntry::pieces() const {
    return {m_head, m_escapedText ? std::string_view(*m_escapedText) : m_entry->text, m_tail};
}

HistoryFileLayout::HistoryFileLayout(const PersistShape& settings,
                                     std::span<const EncodedEntry> entries)
    : m_entries(entries) {
    m_head = "{\n    \"auto_apply_incoming\": ";
    m_head += settings.autoApplyIncoming ? "true" : "false";
    m_head += ",\n    \"entries\": ";
    m_head += m_entries.empty() ? "[]" : "[\n";
    m_tail = m_entries.empty() ? "" : "\n    ]";
    m_tail += ",\n    \"max_entries\": ";
    m_tail += std::to_string(settings.maxEntries);
    m_tail += ",\n    \"page_size\": ";
    m_tail += std::to_string(settings.pageSize);
    m_tail += "\n}";
}

std::vector<std::string_view> HistoryFileLayout::pieces() const {
    std::vector<std::string_view> out;
    out.reserve(4 * m_entries.size() + 2);
    out.push_back(m_head);
    for (size_t k = 0; k < m_entries.size(); ++k) {
        if (k > 0)
            out.push_back(kEntrySeparator);
        for (auto piece : m_entries[k].pieces())
            out.push_back(piece);
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
    std::vector<EncodedEntry> encoded;
    encoded.reserve(state.entries.size());
    for (const auto& e : state.entries)
        encoded.emplace_back(e);
    return HistoryFileLayout(state, encoded).joined();
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
