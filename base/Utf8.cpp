#include "base/Utf8.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace sorvane {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Index of the first byte at or after `i` that is not ASCII, or `n`. Clipboard
// text is mostly ASCII: eight bytes are checked at a time, and on little-endian
// hosts the word's first high bit gives the position directly.
size_t skipAscii(const uint8_t* s, size_t i, size_t n) {
    while (n - i >= 8) {
        uint64_t word;
        std::memcpy(&word, s + i, sizeof word);
        const uint64_t high = word & 0x8080808080808080ull;
        if (high == 0) {
            i += 8;
            continue;
        }
        if constexpr (std::endian::native == std::endian::little)
            return i + static_cast<size_t>(std::countr_zero(high)) / 8;
        break;
    }
    while (i < n && s[i] < 0x80)
        ++i;
    return i;
}

} // namespace

int utf8SequenceLength(std::string_view s, size_t i) {
    auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
    const uint8_t lead = byte(i);
    int length;
    uint8_t lo = 0x80, hi = 0xBF; // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            lo = 0xA0; // overlong
        else if (lead == 0xED)
            hi = 0x9F; // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            lo = 0x90; // overlong
        else if (lead == 0xF4)
            hi = 0x8F; // past U+10FFFF
    } else {
        return 0;
    }
    for (int k = 1; k < length; ++k) {
        if (i + static_cast<size_t>(k) >= s.size())
            return -static_cast<int>(s.size() - i);
        const uint8_t b = byte(i + static_cast<size_t>(k));
        const uint8_t min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
        if (b < min || b > max)
            return -k;
    }
    return length;
}

bool isValidUtf8(ByteView bytes) {
    const std::string_view s(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const size_t n = s.size();
    size_t i = 0;
    while ((i = skipAscii(bytes.data(), i, n)) < n) {
        const int length = utf8SequenceLength(s, i);
        if (length <= 0)
            return false;
        i += static_cast<size_t>(length);
    }
    return true;
}

std::string toValidUtf8(std::string_view text) {
    const auto* data = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    std::string out;
    size_t copied = 0; // start of the bytes not yet copied
    size_t i = 0;
    while ((i = skipAscii(data, i, n)) < n) {
        const int length = utf8SequenceLength(text, i);
        if (length > 0) {
            i += static_cast<size_t>(length);
            continue;
        }
        if (out.empty())
            out.reserve(n + 2);
        out.append(text.substr(copied, i - copied));
        out.append(kReplacement);
        // A bad lead byte is dropped; after a good lead the offending byte is
        // read again as the start of the next character.
        i += length == 0 ? 1 : static_cast<size_t>(-length);
        copied = i;
    }
    if (copied == 0)
        return std::string(text);
    out.append(text.substr(copied));
    return out;
}

} // namespace sorvane
