#include "protocol/CryptoPrimitives.h"
#include "protocol/SessionKey.h"
#include "protocol/SorvaneCryptoError.h"
#include "protocol/Uuids.h"
#include "support/ErrorOf.h"

#include <gtest/gtest.h>

namespace sorvane {
namespace {

const Bytes kKey(32, 0x42);
const Bytes kNonceRandom = {1, 2, 3, 4, 5, 6, 7, 8};

using testing::errorOf;

// The sealed bytes for a fixed key, nonce and counter are pinned in
// KnownAnswerTest.cpp; here the counter's course from 0 to its end.
TEST(SessionKey, CounterStartsAtZeroCountsEveryFrameAndRunsOut) {
    SessionKey tx(kKey, kNonceRandom);
    const auto aad = buildAAD(serviceUUID, charClipboardRx, 1);
    const Bytes first = tx.encryptFrame(aad, Bytes{'h', 'i'});
    const Bytes second = tx.encryptFrame(aad, Bytes{'h', 'i'});
    EXPECT_EQ(Bytes(first.begin(), first.begin() + 12),
              (Bytes{0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(Bytes(second.begin(), second.begin() + 4), (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(first.size(), 12u + 2 + 16);
    auto [counter, sealed] = tx.encrypt(aad, Bytes{});
    EXPECT_EQ(counter, 2u);
    EXPECT_EQ(sealed.size(), 16u);
    EXPECT_EQ(tx.counterTx, 3u);

    tx.counterTx = 0xFFFFFFFE;
    EXPECT_NO_THROW(tx.encryptFrame(aad, Bytes{}));
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(errorOf([&] { tx.encryptFrame(aad, Bytes{}); }),
                  "TX counter exhausted; re-handshake required");
    EXPECT_EQ(tx.counterTx, 0xFFFFFFFFu);
}

TEST(SessionKey, ReplayFloor) {
    SessionKey tx(kKey, kNonceRandom), rx(kKey, Bytes(8, 0));
    const auto aad = buildAAD(serviceUUID, charClipboardTx, 3);
    tx.counterTx = 5;
    const Bytes five = tx.encryptFrame(aad, Bytes{'5'});
    tx.counterTx = 7;
    const Bytes seven = tx.encryptFrame(aad, Bytes{'7'});
    EXPECT_EQ(rx.decryptFrame(aad, five), Bytes{'5'});
    EXPECT_EQ(rx.counterRxFloor, 5u);
    EXPECT_EQ(errorOf([&] { rx.decryptFrame(aad, five); }), "Stale counter 5 \u2264 floor 5");
    EXPECT_EQ(rx.decryptFrame(aad, seven), Bytes{'7'});
    EXPECT_EQ(errorOf([&] { rx.decryptFrame(aad, five); }), "Stale counter 5 \u2264 floor 7");

    // A fresh key opens whatever counter comes first, 0 included; an empty
    // message is a frame of nonce and tag alone.
    SessionKey fresh(kKey, Bytes(8, 0));
    const Bytes empty = SessionKey(kKey, kNonceRandom).encryptFrame(aad, Bytes{});
    ASSERT_EQ(empty.size(), 28u);
    EXPECT_TRUE(fresh.decryptFrame(aad, empty).empty());
    EXPECT_EQ(fresh.counterRxFloor, 0u);
}

TEST(SessionKey, AuthenticationFailuresLeaveTheFloorAlone) {
    SessionKey tx(kKey, kNonceRandom), rx(kKey, Bytes(8, 0));
    const auto rightAad = buildAAD(serviceUUID, charClipboardTx, 0x0102);
    const Bytes frame = tx.encryptFrame(rightAad, Bytes{'x', 'y'});

    // The other direction's characteristic, another frame id, a flipped byte
    // past the counter (whose bytes change the replay check, covered above), a
    // cut tag, a frame too short to hold nonce and tag.
    const auto otherChar = buildAAD(serviceUUID, charClipboardRx, 0x0102);
    const auto otherId = buildAAD(serviceUUID, charClipboardTx, 0x0103);
    EXPECT_THROW(rx.decryptFrame(otherChar, frame), crypto::CryptoLibraryError);
    EXPECT_THROW(rx.decryptFrame(otherId, frame), crypto::CryptoLibraryError);
    for (size_t i = 4; i < frame.size(); ++i) {
        Bytes bad = frame;
        bad[i] ^= 0x01;
        EXPECT_THROW(rx.decryptFrame(rightAad, bad), crypto::CryptoLibraryError) << "byte " << i;
    }
    Bytes truncated(frame.begin(), frame.end() - 1);
    truncated.push_back(0);
    EXPECT_THROW(rx.decryptFrame(rightAad, truncated), crypto::CryptoLibraryError);
    EXPECT_EQ(errorOf([&] { rx.decryptFrame(rightAad, Bytes(27, 0)); }),
              "Encrypted frame too short (27 bytes)");
    EXPECT_FALSE(rx.counterRxFloor.has_value());
    EXPECT_EQ(rx.decryptFrame(rightAad, frame), (Bytes{'x', 'y'}));
}

// Which half of the session keys seals and which opens is checked end to end
// in PairingHandshakeTest.cpp; here the nonces each direction starts from.
TEST(SessionKey, RefusesWrongSizesAndEachDirectionHasItsNonce) {
    EXPECT_THROW(SessionKey(Bytes(31, 0), kNonceRandom), std::invalid_argument);
    EXPECT_THROW(SessionKey(kKey, Bytes(7, 0)), std::invalid_argument);
    ActiveSession s = ActiveSession::fromKeys(Bytes(32, 0xA1), Bytes(32, 0xB2));
    EXPECT_EQ(s.rx->nonceRandom(), (std::array<uint8_t, 8>{}));
    EXPECT_NE(s.tx->nonceRandom(), (std::array<uint8_t, 8>{})); // fresh random bytes
}

// The AAD's bytes are pinned in KnownAnswerTest.cpp.
TEST(BuildAAD, IgnoresTheLetterCaseOfTheUUIDs) {
    EXPECT_EQ(
        buildAAD("6E70C001-B3A8-4F9E-9A3D-8C6B1C9D0E01", "6E70C004-B3A8-4F9E-9A3D-8C6B1C9D0E01", 7),
        buildAAD(serviceUUID, charClipboardTx, 7));
}

} // namespace
} // namespace sorvane
