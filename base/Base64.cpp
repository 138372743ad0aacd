#include "base/Base64.h"

namespace sorvane {

std::optional<Bytes> decodeBase64Digits(std::string_view digits, Base64Alphabet alphabet, bool canonical) {
    if (digits.size() % 4 == 1)
        return std::nullopt;
    const char c62 = alphabet == Base64Alphabet::url ? '-' : '+';
    const char c63 = alphabet == Base64Alphabet::url ? '_' : '/';
    auto value = [c62, c63](char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == c62)
            return 62;
        if (c == c63)
            return 63;
        return -1;
    };
    Bytes out;
    out.reserve(digits.size() * 3 / 4);
    uint32_t acc = 0;
    int bits = 0;
    for (const char c : digits) {
        const int v = value(c);
        if (v < 0)
            return std::nullopt;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(acc >> bits));
        }
    }
    if (canonical && (acc & ((1u << bits) - 1)) != 0)
        return std::nullopt;
    return out;
}

} // namespace sorvane
