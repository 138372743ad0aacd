// Lower-case hexadecimal text for binary values (keys, ids, hashes).
//
// Hex::decode never fails: it walks the text two characters at a time, appends a
// byte for every pair that is valid hex (either case), skips a pair that is not,
// and ignores an unpaired last character.
#pragma once

#include "base/Bytes.h"

#include <string>
#include <string_view>

namespace sorvane {

struct Hex {
    static std::string encode(ByteView data);
    static Bytes decode(std::string_view text);
};

} // namespace sorvane
