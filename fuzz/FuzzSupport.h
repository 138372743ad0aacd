// Helpers shared by the fuzz targets and the seed-corpus writer: a check that
// survives NDEBUG, and the fixed session key the frame fuzzer opens with (the
// seed corpus seals its frames under the same key so that mutations start from
// frames that authenticate).
#pragma once

#include "base/Bytes.h"
#include "protocol/SessionKey.h"
#include "protocol/Uuids.h"

#include <array>
#include <cstdio>
#include <cstdlib>

// Aborts, which libFuzzer reports as a crash, when an invariant does not hold.
#define FUZZ_CHECK(cond)                                                                        \
    do {                                                                                        \
        if (!(cond)) {                                                                          \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond);   \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

namespace sorvane::fuzz {

inline constexpr std::array<uint8_t, 32> kFrameKey = {
    0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae, 0xf0, 0x85, 0x7d, 0x77, 0x81,
    0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61, 0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};
inline constexpr std::array<uint8_t, 8> kSenderNonceRandom = {0xa1, 0xa2, 0xa3, 0xa4,
                                                              0xa5, 0xa6, 0xa7, 0xa8};
inline constexpr std::array<uint8_t, 8> kZeroNonceRandom = {};
inline constexpr uint16_t kFrameID = 0x0102;

// The AAD of a phone-to-desktop frame with kFrameID.
inline std::array<uint8_t, 10> inboundAAD() {
    return buildAAD(serviceUUID, charClipboardTx, kFrameID);
}

} // namespace sorvane::fuzz
