// UTF-8 checks. Well-formed means what Unicode calls well-formed: no overlong
// forms, no surrogates, nothing past U+10FFFF, no sequence cut short.
#pragma once

#include "base/Bytes.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace sorvane {

// Length of the well-formed sequence that starts at s[i] (a byte >= 0x80), or,
// when it is ill-formed, minus the number of bytes before the offending one (so 0
// for a bad lead byte). A sequence cut off by the end of `s` counts as ill-formed
// with all its bytes consumed.
int utf8SequenceLength(std::string_view s, size_t i);

bool isValidUtf8(ByteView bytes);
inline bool isValidUtf8(std::string_view text) {
    return isValidUtf8(ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

// `text` with every ill-formed sequence replaced by U+FFFD (one per maximal
// ill-formed part, as the JSON writer and Qt do).
std::string toValidUtf8(std::string_view text);

} // namespace sorvane
