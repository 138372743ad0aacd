// Pairing-handshake formats and the small hashing helpers built on them.
//
// PairingHello (phone -> desktop, 167 bytes):
//   "SORV" | version u16 LE = 1 | type 0x01 | device id (16) | identity Ed25519 (32)
//   | ephemeral X25519 (32) | nonce (16) | Ed25519 signature over bytes 0..102 (64)
// PairingAck (desktop -> phone, 119 bytes):
//   "SORV" | 01 00 | 0x02 | ephemeral X25519 (32) | nonce echo (16)
//   | Ed25519 signature over bytes 0..54 (64)
// Session keys: HKDF-SHA256(X25519 shared, salt = hello nonce,
//   info = "sorvane/v1/session", 64 bytes); keyA = bytes 0..31 (phone -> desktop),
//   keyB = bytes 32..63 (desktop -> phone).
//
// Pure functions; thread-safe. Functions that throw raise SorvaneCryptoError for
// format faults and crypto::CryptoLibraryError for what the library refuses.
#pragma once

#include "base/Bytes.h"
#include "base/Clock.h"
#include "protocol/CryptoPrimitives.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace sorvane {

inline constexpr size_t kPairingHelloSize = 167;
inline constexpr size_t kPairingAckSize = 119;
inline constexpr size_t kPairingHelloSignedSize = 103;
inline constexpr size_t kPairingAckSignedSize = 55;
inline constexpr std::string_view kSessionInfo = "sorvane/v1/session";
inline constexpr std::string_view kQRPrefix = "SORVANE1:";

struct PairingHelloParsed {
    std::array<uint8_t, 16> deviceID{};
    crypto::Ed25519PublicKey identityPubEd25519;
    crypto::X25519PublicKey ephemeralPubX25519;
    std::array<uint8_t, 16> nonce{};
    Bytes signedBody; // bytes 0..102
    std::array<uint8_t, 64> signature{};
};

// Checks length, magic, version and type, in that order, and splits the hello.
// Does not verify the signature. Rejects an identity key that is small-order or
// not canonically encoded (weakIdentityKey). Bytes past 167 are ignored.
PairingHelloParsed parsePairingHello(ByteView data);

struct SessionKeyMaterial {
    Bytes keyA; // phone -> desktop
    Bytes keyB; // desktop -> phone
};
SessionKeyMaterial deriveSessionKeys(const crypto::X25519PrivateKey& ourPrivate,
                                     const crypto::X25519PublicKey& peerPublic,
                                     ByteView saltNonce);

Bytes buildPairingAck(const crypto::Ed25519PrivateKey& identitySK,
                      const crypto::X25519PublicKey& ephemeralPub, ByteView nonceEcho);

// "SORVANE1:" + unpadded base64url of device id (16) | service UUID (16) | identity key (32).
std::string buildQRPayload(ByteView deviceID, const crypto::Ed25519PublicKey& identityPub);

// Six digits that change with every Unix minute: SHA-256(identity key |
// (t/60 + minuteOffset) as u64 BE), first 4 bytes BE, mod 10^6.
std::string derivePairingCode(const crypto::Ed25519PublicKey& identityPub, int minuteOffset,
                              const WallClock& clock = systemWallClock());

// First 8 bytes of SHA-256(data) as "xxxx xxxx xxxx xxxx".
std::string fingerprintHex(ByteView data);
// First 4 bytes of SHA-256(UTF-8 text) as 8 hex digits: the content hash.
std::string sha256ShortHex(std::string_view text);

std::string base64UrlEncode(ByteView data);
// Absent on any character outside the base64url alphabet or an impossible length.
std::optional<Bytes> base64UrlDecode(std::string_view text);

// ---- The phone's half of the handshake (used by the test central and tools).

Bytes buildPairingHello(ByteView deviceID, const crypto::Ed25519PrivateKey& identity,
                        const crypto::X25519PublicKey& ephemeralPub, ByteView nonce);

struct PairingAckParsed {
    crypto::X25519PublicKey ephemeralPubX25519;
    std::array<uint8_t, 16> nonceEcho{};
};
// Absent unless the ack is well formed and signed by `desktopIdentity`.
std::optional<PairingAckParsed> parsePairingAck(ByteView data,
                                                const crypto::Ed25519PublicKey& desktopIdentity);

struct QRPayload {
    Bytes deviceID;     // 16 bytes
    Bytes serviceUUID;  // 16 bytes
    Bytes identityPub;  // 32 bytes
};
std::optional<QRPayload> parseQRPayload(std::string_view text);

} // namespace sorvane
