// The session cipher's opening side on arbitrary frames, and a seal/open round
// trip of the input as plaintext.
//
// 1. The input is a received frame, opened by a fresh receive key under the
//    fixed key of FuzzSupport.h. Only the cipher's own errors may escape
//    decryptFrame; the replay floor moves only on success, to the frame's counter;
//    the in-place overload reaches the same outcome.
// 2. The input is sealed by a send key and must open to itself; the same frame
//    again is stale, and a frame with one flipped bit fails without moving the
//    floor.
#include "FuzzSupport.h"

#include "protocol/SorvaneCryptoError.h"

#include <algorithm>
#include <string>

namespace {

using namespace sorvane;
using crypto::CryptoLibraryError;

// The outcome of opening with the in-place overload: the plaintext, or the
// error's description.
std::string openInPlace(ByteView frame, ByteView aad) {
    SessionKey rx(fuzz::kFrameKey, fuzz::kZeroNonceRandom);
    try {
        const Bytes plaintext = rx.decryptFrame(aad, toBytes(frame));
        return "ok:" + std::string(asText(plaintext));
    } catch (const std::exception& e) {
        return e.what();
    }
}

void openReceived(ByteView frame, ByteView aad) {
    SessionKey rx(fuzz::kFrameKey, fuzz::kZeroNonceRandom);
    const std::string inPlace = openInPlace(frame, aad);
    try {
        const Bytes plaintext = rx.decryptFrame(aad, frame);
        FUZZ_CHECK(inPlace == "ok:" + std::string(asText(plaintext)));
        FUZZ_CHECK(plaintext.size() + kEncryptedFrameOverhead == frame.size());
        FUZZ_CHECK(rx.counterRxFloor == *ByteReader(frame).readU32LE());
        // A second delivery of the same frame is a replay.
        bool stale = false;
        try {
            rx.decryptFrame(aad, frame);
        } catch (const SorvaneCryptoError& e) {
            stale = e.which() == SorvaneCryptoError::Case::staleCounter;
        }
        FUZZ_CHECK(stale);
    } catch (const SorvaneCryptoError& e) {
        FUZZ_CHECK(e.which() == SorvaneCryptoError::Case::frameTooShort);
        FUZZ_CHECK(frame.size() < kEncryptedFrameOverhead);
        FUZZ_CHECK(!rx.counterRxFloor);
        FUZZ_CHECK(inPlace == e.what());
    } catch (const CryptoLibraryError& e) {
        FUZZ_CHECK(!rx.counterRxFloor);
        FUZZ_CHECK(inPlace == e.what());
    }
}

void roundTrip(ByteView plaintext, ByteView aad) {
    SessionKey tx(fuzz::kFrameKey, fuzz::kSenderNonceRandom);
    const Bytes frame = tx.encryptFrame(aad, plaintext);
    FUZZ_CHECK(frame.size() == plaintext.size() + kEncryptedFrameOverhead);
    FUZZ_CHECK(tx.counterTx == 1);

    SessionKey rx(fuzz::kFrameKey, fuzz::kZeroNonceRandom);
    const Bytes opened = rx.decryptFrame(aad, frame);
    FUZZ_CHECK(opened.size() == plaintext.size() &&
               std::equal(opened.begin(), opened.end(), plaintext.begin()));
    FUZZ_CHECK(rx.counterRxFloor == 0u);

    // Flip one bit, chosen by the input, anywhere in the frame.
    size_t seed = plaintext.size();
    for (uint8_t b : plaintext)
        seed = seed * 31 + b;
    Bytes forged = frame;
    const size_t bit = seed % (forged.size() * 8);
    forged[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    SessionKey fresh(fuzz::kFrameKey, fuzz::kZeroNonceRandom);
    bool rejected = false;
    try {
        fresh.decryptFrame(aad, forged);
    } catch (const CryptoLibraryError&) {
        rejected = true;
    }
    FUZZ_CHECK(rejected);
    FUZZ_CHECK(!fresh.counterRxFloor);
    const Bytes reopened = fresh.decryptFrame(aad, frame);
    FUZZ_CHECK(reopened == opened);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ByteView input(data, size);
    const auto aad = fuzz::inboundAAD();
    openReceived(input, aad);
    roundTrip(input, aad);
    return 0;
}
