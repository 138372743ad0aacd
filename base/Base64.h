// Base64 digits to bytes, in either alphabet: the standard one (+ /) and the
// URL-safe one (- _). Padding and whitespace are the callers' to strip.
#pragma once

#include "base/Bytes.h"

#include <optional>
#include <string_view>

namespace sorvane {

enum class Base64Alphabet { standard, url };

// Decodes `digits` (no padding). Absent on a character outside `alphabet` or a
// length no encoding gives (one digit over whole groups of four). With
// `canonical`, the bits beyond the last byte must be zero, so that each value
// has one spelling.
std::optional<Bytes> decodeBase64Digits(std::string_view digits, Base64Alphabet alphabet, bool canonical);

} // namespace sorvane
