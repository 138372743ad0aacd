// Fixed known answers for the handshake and the session cipher. The expected
// bytes were computed once, from the wire format alone, by another
// implementation (tests/data/known_answers/generate.py with Python's
// `cryptography`); they are kept here as constants so that a change in key
// derivation, key split, nonce layout, AAD, ack layout, code or fingerprint
// shows up even when our own sender and receiver still agree with each other.

#include "base/Hex.h"
#include "protocol/PairingHandshake.h"
#include "protocol/SessionKey.h"
#include "protocol/Uuids.h"

#include <gtest/gtest.h>

namespace sorvane {
namespace {

using crypto::Ed25519PrivateKey;
using crypto::X25519PrivateKey;
using crypto::X25519PublicKey;

Bytes hex(std::string_view text) {
    return Hex::decode(text);
}

const Bytes kDesktopEphemeral =
    hex("101112131415161718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f");
const Bytes kPhoneEphemeralPublic =
    hex("79a631eede1bf9c98f12032cdeadd0e7a079398fc786b88cc846ec89af85a51a");
const Bytes kHelloNonce = hex("a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
const Bytes kIdentitySeed = hex("202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f");

TEST(KnownAnswers, SessionKeysFromFixedExchangeAndNonce) {
    const auto ours = X25519PrivateKey::fromRaw(kDesktopEphemeral);
    EXPECT_EQ(Hex::encode(ours.publicKey().raw()),
              "d89e3bad79437dbed9f843418304f460ff05c7fe81fe4a9577a804cb9367ff66");
    const auto keys =
        deriveSessionKeys(ours, X25519PublicKey::fromRaw(kPhoneEphemeralPublic), kHelloNonce);
    // HKDF-SHA256, salt = the hello nonce, info "sorvane/v1/session", 64 bytes split 32/32.
    EXPECT_EQ(Hex::encode(keys.keyA),
              "00cbd36d8d26e8dcf82592116fc0c37627cf07f9c0c1c40ac02fb65b8596f543");
    EXPECT_EQ(Hex::encode(keys.keyB),
              "f661f81101babc4b2ba07f21b0fe2f211cdfcefc4f212edae4d5af00aa61ecbf");
}

TEST(KnownAnswers, SealedFrameFromFixedKeyNonceCounterAndAAD) {
    const auto aad = buildAAD(serviceUUID, charClipboardRx, 0x0102);
    ASSERT_EQ(Hex::encode(aad), "6e70c0016e70c0050201");
    const Bytes plaintext = hex("016b6e6f776e20616e73776572");
    const Bytes expected = hex("0700000001020304050607086c00c89efb359624ce6d66b3b8b824acfd4d0e46"
                               "d67f74a4498a318301");

    SessionKey tx(hex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f"),
                  hex("0102030405060708"));
    tx.counterTx = 7;
    EXPECT_EQ(tx.encryptFrame(aad, plaintext), expected);
    EXPECT_EQ(tx.counterTx, 8u);

    SessionKey rx(hex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f"),
                  Bytes(8, 0));
    EXPECT_EQ(rx.decryptFrame(aad, expected), plaintext);
    EXPECT_EQ(rx.counterRxFloor, 7u);
}

TEST(KnownAnswers, PairingAckCodeAndFingerprintOfAFixedIdentity) {
    const auto identity = Ed25519PrivateKey::fromRaw(kIdentitySeed);
    EXPECT_EQ(Hex::encode(identity.publicKey().raw()),
              "29acbae141bccaf0b22e1a94d34d0bc7361e526d0bfe12c89794bc9322966dd7");
    const auto ephemeral = X25519PrivateKey::fromRaw(kDesktopEphemeral);
    // Ed25519 signatures are deterministic, so the whole ack is fixed.
    EXPECT_EQ(Hex::encode(buildPairingAck(identity, ephemeral.publicKey(), kHelloNonce)),
              "534f5256010002d89e3bad79437dbed9f843418304f460ff05c7fe81fe4a9577a804cb9367ff66"
              "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf135f83a226f2bf64a5ffdd2c9e3e80e495a0ce6f126dda0a"
              "159182cd8f7b3c57eac54faced3a68558cfb7ed6235cb9f629ffca86141db3311bd78e35c5027703");

    const WallClock at = [] {
        return std::chrono::system_clock::time_point(std::chrono::seconds(1'800'000'123));
    };
    EXPECT_EQ(derivePairingCode(identity.publicKey(), 0, at), "269185");
    EXPECT_EQ(fingerprintHex(identity.publicKey().raw()), "24f6 ed6a cbfe 1009");
}

} // namespace
} // namespace sorvane
