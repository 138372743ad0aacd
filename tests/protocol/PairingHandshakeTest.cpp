#include "base/Hex.h"
#include "protocol/PairingHandshake.h"
#include "protocol/SessionKey.h"
#include "protocol/SorvaneCryptoError.h"
#include "protocol/Uuids.h"
#include "support/ErrorOf.h"

#include <gtest/gtest.h>

namespace sorvane {
namespace {

using crypto::Ed25519PrivateKey;
using crypto::X25519PrivateKey;

using testing::errorOf;

struct Phone {
    Bytes deviceID = crypto::randomBytes(16);
    Ed25519PrivateKey identity = Ed25519PrivateKey::generate();
    X25519PrivateKey ephemeral = X25519PrivateKey::generate();
    Bytes nonce = crypto::randomBytes(16);
    Bytes hello() const { return buildPairingHello(deviceID, identity, ephemeral.publicKey(), nonce); }
};

TEST(PairingHello, ParsesAndChecksInOrder) {
    Phone phone;
    Bytes hello = phone.hello();
    ASSERT_EQ(hello.size(), kPairingHelloSize);

    auto p = parsePairingHello(hello);
    EXPECT_EQ(Bytes(p.deviceID.begin(), p.deviceID.end()), phone.deviceID);
    EXPECT_EQ(p.identityPubEd25519, phone.identity.publicKey());
    EXPECT_EQ(p.ephemeralPubX25519.raw(), phone.ephemeral.publicKey().raw());
    EXPECT_EQ(Bytes(p.nonce.begin(), p.nonce.end()), phone.nonce);
    EXPECT_EQ(p.signedBody, Bytes(hello.begin(), hello.begin() + 103));
    EXPECT_TRUE(p.identityPubEd25519.verify(p.signedBody, p.signature));

    Bytes longer = hello;
    longer.resize(200, 0xEE);
    EXPECT_EQ(parsePairingHello(longer).signedBody, p.signedBody);

    EXPECT_EQ(errorOf([&] { parsePairingHello(ByteView(hello).first(166)); }),
              "PairingHello too short: 166");
    for (size_t i = 0; i < 4; ++i) {
        Bytes bad = hello;
        bad[i] ^= 0x20;
        EXPECT_EQ(errorOf([&] { parsePairingHello(bad); }), "Bad magic bytes");
    }
    Bytes v2 = hello;
    v2[4] = 2;
    EXPECT_EQ(errorOf([&] { parsePairingHello(v2); }), "Protocol version 2 (expected 1)");
    Bytes v256 = hello;
    v256[4] = 0;
    v256[5] = 1;
    EXPECT_EQ(errorOf([&] { parsePairingHello(v256); }), "Protocol version 256 (expected 1)");
    Bytes type2 = hello;
    type2[6] = 0x02;
    EXPECT_EQ(errorOf([&] { parsePairingHello(type2); }), "Unexpected message type 0x02");
    // Checks run in order: a short hello with bad magic reports its length.
    Bytes shortBad(10, 0);
    EXPECT_EQ(errorOf([&] { parsePairingHello(shortBad); }), "PairingHello too short: 10");
}

TEST(PairingHello, RejectsWeakIdentityKeys) {
    const Bytes hello = Phone().hello();
    // The identity point, a known order-8 point and a non-canonical encoding:
    // with such keys a forged signature can verify for any message, so they
    // never get as far as verification.
    for (const char* weak : {"0100000000000000000000000000000000000000000000000000000000000000",
                             "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
                             "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"}) {
        Bytes bad = hello;
        const Bytes key = Hex::decode(weak);
        std::copy(key.begin(), key.end(), bad.begin() + 23);
        EXPECT_EQ(errorOf([&] { parsePairingHello(bad); }),
                  "Identity key is small-order or not canonically encoded")
            << weak;
    }
}

// The ack's bytes for a fixed identity are pinned in KnownAnswerTest.cpp.
TEST(PairingAck, OpensOnlyWithTheDesktopsKeyAndUntouched) {
    const auto mac = Ed25519PrivateKey::generate();
    const auto eph = X25519PrivateKey::generate();
    const Bytes ack = buildPairingAck(mac, eph.publicKey(), Bytes(16, 0x5A));
    ASSERT_EQ(ack.size(), kPairingAckSize);
    EXPECT_TRUE(parsePairingAck(ack, mac.publicKey()));
    EXPECT_FALSE(parsePairingAck(ack, Ed25519PrivateKey::generate().publicKey()));
    Bytes tampered = ack;
    tampered[40] ^= 1;
    EXPECT_FALSE(parsePairingAck(tampered, mac.publicKey()));
    EXPECT_FALSE(parsePairingAck(ByteView(ack).first(118), mac.publicKey()));
}

TEST(QRPayload, KnownValueAndRoundTrip) {
    const Bytes zeros16(16, 0);
    const auto zeroKey = crypto::Ed25519PublicKey::fromRaw(Bytes(32, 0));
    const std::string qr = buildQRPayload(zeros16, zeroKey);
    EXPECT_EQ(qr, "SORVANE1:AAAAAAAAAAAAAAAAAAAAAG5wwAGzqE-emj2MaxydDgE" + std::string(43, 'A'));
    EXPECT_EQ(qr.size(), 95u);

    const Bytes id = crypto::randomBytes(16);
    const auto key = Ed25519PrivateKey::generate();
    auto parsedQR = parseQRPayload(buildQRPayload(id, key.publicKey()));
    ASSERT_TRUE(parsedQR);
    EXPECT_EQ(parsedQR->deviceID, id);
    EXPECT_EQ(Hex::encode(parsedQR->serviceUUID), "6e70c001b3a84f9e9a3d8c6b1c9d0e01");
    EXPECT_EQ(parsedQR->identityPub, Bytes(key.publicKey().raw().begin(), key.publicKey().raw().end()));
    EXPECT_FALSE(parseQRPayload("SORVANE2:" + qr.substr(9)));
    EXPECT_FALSE(parseQRPayload(qr.substr(0, 94)));
    EXPECT_FALSE(parseQRPayload(qr.substr(0, 60) + "+" + qr.substr(61)));
}

TEST(Encodings, Base64UrlHexAndShortHash) {
    EXPECT_EQ(base64UrlEncode(asBytes("")), "");
    EXPECT_EQ(base64UrlEncode(asBytes("f")), "Zg");
    EXPECT_EQ(base64UrlEncode(asBytes("fo")), "Zm8");
    EXPECT_EQ(base64UrlEncode(asBytes("foo")), "Zm9v");
    EXPECT_EQ(base64UrlEncode(Bytes{0xfb, 0xff}), "-_8");
    for (size_t n = 0; n < 70; ++n) {
        const Bytes data = crypto::randomBytes(n);
        EXPECT_EQ(base64UrlDecode(base64UrlEncode(data)), data);
    }
    EXPECT_EQ(Hex::decode("0A0b"), (Bytes{0x0A, 0x0B}));
    EXPECT_EQ(Hex::decode("zz01"), (Bytes{0x01}));
    EXPECT_EQ(Hex::decode("abc"), (Bytes{0xAB})); // unpaired last character ignored
    EXPECT_EQ(Hex::encode(Bytes{0x00, 0xff, 0x1a}), "00ff1a");
    // The fingerprint's known answer is in KnownAnswerTest.cpp.
    EXPECT_EQ(sha256ShortHex("abc"), "ba7816bf");
}

// Known answers worked out apart from this code (SHA-256 of the key ‖ the
// minute number as 8 big-endian bytes; the first 4 bytes mod 1 000 000).
TEST(PairingCode, KnownCodesPerUnixMinuteWithLeadingZeros) {
    const auto key = crypto::Ed25519PublicKey::fromRaw(Bytes(32, 7));
    auto at = [](int64_t seconds) {
        return [seconds] { return std::chrono::system_clock::time_point(std::chrono::seconds(seconds)); };
    };
    const int64_t base = 1'700'000'040; // a whole minute
    EXPECT_EQ(derivePairingCode(key, 0, at(base)), "281657");
    EXPECT_EQ(derivePairingCode(key, 0, at(base + 59)), "281657");
    EXPECT_EQ(derivePairingCode(key, 0, at(base + 60)), "196742");
    EXPECT_EQ(derivePairingCode(key, 1, at(base)), "196742");
    EXPECT_EQ(derivePairingCode(key, 0, at(base - 1)), "925471");
    EXPECT_EQ(derivePairingCode(key, -1, at(base)), "925471");
    EXPECT_EQ(derivePairingCode(key, 0, at(46 * 60)), "010023");
}

// The whole exchange between two independently keyed parties.
TEST(Handshake, PhoneAndDesktopAgreeAndTalkBothWays) {
    const auto macIdentity = Ed25519PrivateKey::generate();
    const Bytes macDeviceID = crypto::randomBytes(16);
    const auto qr = parseQRPayload(buildQRPayload(macDeviceID, macIdentity.publicKey()));
    ASSERT_TRUE(qr);
    const auto macKeyFromQR = crypto::Ed25519PublicKey::fromRaw(qr->identityPub);

    Phone phone;
    const Bytes hello = phone.hello();

    // Desktop: parse, verify, derive, answer.
    const auto parsedHello = parsePairingHello(hello);
    ASSERT_TRUE(parsedHello.identityPubEd25519.verify(parsedHello.signedBody, parsedHello.signature));
    const auto macEphemeral = X25519PrivateKey::generate();
    const auto macKeys =
        deriveSessionKeys(macEphemeral, parsedHello.ephemeralPubX25519, parsedHello.nonce);
    ActiveSession mac = ActiveSession::fromKeys(macKeys.keyA, macKeys.keyB);
    const Bytes ack = buildPairingAck(macIdentity, macEphemeral.publicKey(), parsedHello.nonce);

    // Phone: verify the ack with the key it learnt from the QR text, derive.
    const auto parsedAck = parsePairingAck(ack, macKeyFromQR);
    ASSERT_TRUE(parsedAck);
    EXPECT_EQ(Bytes(parsedAck->nonceEcho.begin(), parsedAck->nonceEcho.end()), phone.nonce);
    const auto phoneKeys = deriveSessionKeys(phone.ephemeral, parsedAck->ephemeralPubX25519, phone.nonce);
    EXPECT_EQ(phoneKeys.keyA, macKeys.keyA);
    EXPECT_EQ(phoneKeys.keyB, macKeys.keyB);
    EXPECT_NE(macKeys.keyA, macKeys.keyB);
    SessionKey phoneTx(phoneKeys.keyA, crypto::randomBytes(8));
    SessionKey phoneRx(phoneKeys.keyB, Bytes(8, 0));

    const auto aadIn = buildAAD(serviceUUID, charClipboardTx, 11);
    EXPECT_EQ(mac.rx->decryptFrame(aadIn, phoneTx.encryptFrame(aadIn, asBytes("from phone"))),
              toBytes(asBytes("from phone")));
    const auto aadOut = buildAAD(serviceUUID, charClipboardRx, 12);
    EXPECT_EQ(phoneRx.decryptFrame(aadOut, mac.tx->encryptFrame(aadOut, asBytes("from desktop"))),
              toBytes(asBytes("from desktop")));

    // A hello signed by someone else does not verify.
    Phone other;
    Bytes forged = hello;
    const auto sig = other.identity.sign(ByteView(hello).first(103));
    std::copy(sig.begin(), sig.end(), forged.begin() + 103);
    const auto pf = parsePairingHello(forged);
    EXPECT_FALSE(pf.identityPubEd25519.verify(pf.signedBody, pf.signature));
}

TEST(Handshake, LowOrderEphemeralKeyIsRefused) {
    const auto ours = X25519PrivateKey::generate();
    EXPECT_THROW(deriveSessionKeys(ours, crypto::X25519PublicKey::fromRaw(Bytes(32, 0)), Bytes(16, 1)),
                 crypto::CryptoLibraryError);
}

} // namespace
} // namespace sorvane
