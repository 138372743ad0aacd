// Small text helpers that must not depend on the process locale: the desktop's
// locale (set by the toolkit at start-up) would otherwise change how identifiers
// compare and how numbers read in log lines and files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sorvane {

// ASCII letters mapped to lower or upper case; every other byte kept as it is.
std::string asciiLowercase(std::string_view text);
std::string asciiUppercase(std::string_view text);
bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b);

// Two lower-case hexadecimal digits, "0f" for 15.
std::string hexByte(uint8_t value);

// `value` with exactly `decimals` digits after a '.', whatever the locale.
std::string formatFixed(double value, int decimals);

} // namespace sorvane
