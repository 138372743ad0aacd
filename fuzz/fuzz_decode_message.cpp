// The message decoder on arbitrary plaintext. A decoded text message must
// re-encode to exactly the bytes it was read from (the trailing bytes past its
// declared end are ignored), and every other case must reflect the input bytes.
// The UTF-8 validator is also compared with Unicode's table of well-formed byte
// sequences, written out independently below.
#include "FuzzSupport.h"

#include "base/Utf8.h"
#include "protocol/MessageCodec.h"

#include <algorithm>
#include <variant>

namespace {

using namespace sorvane;

bool referenceUtf8(ByteView s) {
    size_t i = 0;
    while (i < s.size()) {
        auto in = [&](size_t k, uint8_t lo, uint8_t hi) {
            return i + k < s.size() && s[i + k] >= lo && s[i + k] <= hi;
        };
        const uint8_t b = s[i];
        if (b <= 0x7f)
            i += 1;
        else if (b >= 0xc2 && b <= 0xdf && in(1, 0x80, 0xbf))
            i += 2;
        else if (b == 0xe0 && in(1, 0xa0, 0xbf) && in(2, 0x80, 0xbf))
            i += 3;
        else if (((b >= 0xe1 && b <= 0xec) || b == 0xee || b == 0xef) && in(1, 0x80, 0xbf) &&
                 in(2, 0x80, 0xbf))
            i += 3;
        else if (b == 0xed && in(1, 0x80, 0x9f) && in(2, 0x80, 0xbf))
            i += 3;
        else if (b == 0xf0 && in(1, 0x90, 0xbf) && in(2, 0x80, 0xbf) && in(3, 0x80, 0xbf))
            i += 4;
        else if (b >= 0xf1 && b <= 0xf3 && in(1, 0x80, 0xbf) && in(2, 0x80, 0xbf) && in(3, 0x80, 0xbf))
            i += 4;
        else if (b == 0xf4 && in(1, 0x80, 0x8f) && in(2, 0x80, 0xbf) && in(3, 0x80, 0xbf))
            i += 4;
        else
            return false;
    }
    return true;
}

void checkReencodes(const Bytes& again, ByteView input, const SorvaneMessage& message) {
    FUZZ_CHECK(again.size() <= input.size());
    FUZZ_CHECK(std::equal(again.begin(), again.end(), input.begin()));
    FUZZ_CHECK(decodeMessage(again) == message);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ByteView input(data, size);
    FUZZ_CHECK(isValidUtf8(input) == referenceUtf8(input));
    const auto message = decodeMessage(input);
    if (!message) {
        if (input.empty())
            return 0;
        // A text message with its whole body present fails only on bad UTF-8.
        ByteReader r(input);
        const uint8_t type = *r.readU8();
        FUZZ_CHECK(type == 0x01 || type == 0x02 || type == 0x10);
        if (type != 0x10) {
            if (const auto length = r.readU32LE())
                if (const auto body = r.readBytes(*length))
                    FUZZ_CHECK(!isValidUtf8(*body));
        }
        return 0;
    }

    if (const auto* text = std::get_if<SorvaneMessage::ClipboardText>(&message->value)) {
        FUZZ_CHECK(isValidUtf8(asBytes(text->text)));
        checkReencodes(encodeClipboardText(text->text), input, *message);
    } else if (const auto* name = std::get_if<SorvaneMessage::PhoneName>(&message->value)) {
        FUZZ_CHECK(isValidUtf8(asBytes(name->name)));
        checkReencodes(encodePhoneName(name->name), input, *message);
    } else if (const auto* r10 = std::get_if<SorvaneMessage::Reserved10>(&message->value)) {
        FUZZ_CHECK(input.size() >= 4 && input[0] == 0x10);
        FUZZ_CHECK(r10->b1 == input[1] && r10->b2 == input[2] && r10->b3 == input[3]);
    } else if (const auto* unknown = std::get_if<SorvaneMessage::Unknown>(&message->value)) {
        FUZZ_CHECK(unknown->type == input[0]);
        FUZZ_CHECK(unknown->type != 0x01 && unknown->type != 0x02 && unknown->type != 0x10 &&
                   unknown->type != 0x20);
    } else {
        FUZZ_CHECK(input[0] == 0x20);
    }
    return 0;
}
