#include "ui/TextSearch.h"

#include "ui/PanelState.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sorvane {
namespace {

constexpr uint8_t foldAscii(uint8_t b) {
    return (b >= 'A' && b <= 'Z') ? static_cast<uint8_t>(b | 0x20) : b;
}

bool isAscii(std::string_view s) {
    for (char c : s)
        if (static_cast<uint8_t>(c) >= 0x80)
            return false;
    return true;
}

// The needle's bytes are folded already; `at` holds at least needle.size() bytes.
bool equalsFoldedAt(const uint8_t* at, std::string_view needle) {
    for (size_t k = 0; k < needle.size(); ++k)
        if (foldAscii(at[k]) != static_cast<uint8_t>(needle[k]))
            return false;
    return true;
}

bool containsAsciiFolded(std::string_view text, std::string_view needle) {
    const size_t n = needle.size();
    if (n > text.size())
        return false;
    const auto* data = reinterpret_cast<const uint8_t*>(text.data());
    const size_t last = text.size() - n; // the last start that fits
    // Candidates are the places where the needle's first and last bytes both
    // match; OR-ing 0x20 folds letters (and lets a few other bytes through,
    // which the full comparison then turns away).
    const uint8_t first = static_cast<uint8_t>(needle.front()) | 0x20;
    const uint8_t end = static_cast<uint8_t>(needle.back()) | 0x20;
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i lower = _mm_set1_epi8(0x20);
    const __m128i firstV = _mm_set1_epi8(static_cast<char>(first));
    const __m128i endV = _mm_set1_epi8(static_cast<char>(end));
    for (; i + 16 <= last + 1; i += 16) {
        const __m128i a = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i)), lower);
        const __m128i b =
            _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + n - 1)), lower);
        unsigned mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, firstV), _mm_cmpeq_epi8(b, endV))));
        while (mask != 0) {
            const unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
            if (equalsFoldedAt(data + i + bit, needle))
                return true;
            mask &= mask - 1;
        }
    }
#endif
    for (; i <= last; ++i)
        if ((data[i] | 0x20) == first && (data[i + n - 1] | 0x20) == end && equalsFoldedAt(data + i, needle))
            return true;
    return false;
}

} // namespace

bool containsFolded(std::string_view text, std::string_view foldedNeedle) {
    if (foldedNeedle.empty())
        return true;
    if (isAscii(foldedNeedle))
        return containsAsciiFolded(text, foldedNeedle);
    return unicodeLowercase(text).find(foldedNeedle) != std::string::npos;
}

} // namespace sorvane
