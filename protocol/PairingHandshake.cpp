#include "protocol/PairingHandshake.h"

#include "base/Base64.h"
#include "base/Hex.h"
#include "protocol/SorvaneCryptoError.h"
#include "protocol/Uuids.h"

#include <openssl/crypto.h>

#include <chrono>
#include <cstdio>

namespace sorvane {
namespace {

constexpr std::array<uint8_t, 4> kMagic = {'S', 'O', 'R', 'V'};
constexpr uint16_t kVersion = 1;
constexpr uint8_t kTypeHello = 0x01;
constexpr uint8_t kTypeAck = 0x02;

constexpr char kBase64Url[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

Bytes serviceUUIDBytes() {
    std::string digits;
    for (char c : serviceUUID)
        if (c != '-')
            digits.push_back(c);
    return Hex::decode(digits);
}

template <size_t N> std::array<uint8_t, N> toArray(ByteView v) {
    std::array<uint8_t, N> out{};
    std::copy_n(v.begin(), N, out.begin());
    return out;
}

} // namespace

PairingHelloParsed parsePairingHello(ByteView data) {
    if (data.size() < kPairingHelloSize)
        throw SorvaneCryptoError::helloTooShort(data.size());
    ByteReader r(data.first(kPairingHelloSize));
    const ByteView magic = *r.readBytes(4);
    if (!std::equal(magic.begin(), magic.end(), kMagic.begin()))
        throw SorvaneCryptoError::badMagic();
    const uint16_t version = *r.readU16LE();
    if (version != kVersion)
        throw SorvaneCryptoError::badVersion(version);
    const uint8_t type = *r.readU8();
    if (type != kTypeHello)
        throw SorvaneCryptoError::unexpectedMessageType(type);
    const ByteView deviceID = *r.readBytes(16);
    const ByteView identity = *r.readBytes(32);
    const ByteView ephemeral = *r.readBytes(32);
    const ByteView nonce = *r.readBytes(16);
    const ByteView signature = *r.readBytes(64);

    PairingHelloParsed out{
        toArray<16>(deviceID),
        crypto::Ed25519PublicKey::fromRaw(identity),
        crypto::X25519PublicKey::fromRaw(ephemeral),
        toArray<16>(nonce),
        toBytes(data.first(kPairingHelloSignedSize)),
        toArray<64>(signature),
    };
    if (!crypto::isStrongEd25519PublicKey(identity))
        throw SorvaneCryptoError::weakIdentityKey();
    return out;
}

SessionKeyMaterial deriveSessionKeys(const crypto::X25519PrivateKey& ourPrivate,
                                     const crypto::X25519PublicKey& peerPublic,
                                     ByteView saltNonce) {
    auto shared = ourPrivate.agree(peerPublic);
    Bytes okm = crypto::hkdfSha256(shared, saltNonce, asBytes(kSessionInfo), 64);
    OPENSSL_cleanse(shared.data(), shared.size());
    SessionKeyMaterial keys{Bytes(okm.begin(), okm.begin() + 32), Bytes(okm.begin() + 32, okm.end())};
    OPENSSL_cleanse(okm.data(), okm.size());
    return keys;
}

Bytes buildPairingAck(const crypto::Ed25519PrivateKey& identitySK,
                      const crypto::X25519PublicKey& ephemeralPub, ByteView nonceEcho) {
    ByteWriter w(kPairingAckSize);
    w.bytes(kMagic).u16LE(kVersion).u8(kTypeAck).bytes(ephemeralPub.raw()).bytes(nonceEcho);
    const auto signature = identitySK.sign(w.view());
    w.bytes(signature);
    return w.take();
}

std::string buildQRPayload(ByteView deviceID, const crypto::Ed25519PublicKey& identityPub) {
    ByteWriter w(64);
    w.bytes(deviceID).bytes(serviceUUIDBytes()).bytes(identityPub.raw());
    return std::string(kQRPrefix) + base64UrlEncode(w.view());
}

std::string derivePairingCode(const crypto::Ed25519PublicKey& identityPub, int minuteOffset,
                              const WallClock& clock) {
    using namespace std::chrono;
    const int64_t t = duration_cast<seconds>(clock().time_since_epoch()).count();
    const int64_t window = t / 60 + minuteOffset;
    ByteWriter w(40);
    w.bytes(identityPub.raw()).u64BE(static_cast<uint64_t>(window));
    const auto digest = crypto::sha256(w.view());
    const uint32_t v = *ByteReader(digest).readU32BE();
    char code[8];
    std::snprintf(code, sizeof code, "%06u", v % 1000000u);
    return code;
}

std::string fingerprintHex(ByteView data) {
    const auto digest = crypto::sha256(data);
    const std::string hex = Hex::encode(ByteView(digest).first(8));
    return hex.substr(0, 4) + " " + hex.substr(4, 4) + " " + hex.substr(8, 4) + " " +
           hex.substr(12, 4);
}

std::string sha256ShortHex(std::string_view text) {
    const auto digest = crypto::sha256(asBytes(text));
    return Hex::encode(ByteView(digest).first(4));
}

std::string base64UrlEncode(ByteView data) {
    std::string out;
    out.reserve((data.size() * 4 + 2) / 3);
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
        out.push_back(kBase64Url[(v >> 18) & 63]);
        out.push_back(kBase64Url[(v >> 12) & 63]);
        out.push_back(kBase64Url[(v >> 6) & 63]);
        out.push_back(kBase64Url[v & 63]);
    }
    const size_t rest = data.size() - i;
    if (rest == 1) {
        const uint32_t v = uint32_t{data[i]} << 16;
        out.push_back(kBase64Url[(v >> 18) & 63]);
        out.push_back(kBase64Url[(v >> 12) & 63]);
    } else if (rest == 2) {
        const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8);
        out.push_back(kBase64Url[(v >> 18) & 63]);
        out.push_back(kBase64Url[(v >> 12) & 63]);
        out.push_back(kBase64Url[(v >> 6) & 63]);
    }
    return out;
}

std::optional<Bytes> base64UrlDecode(std::string_view text) {
    return decodeBase64Digits(text, Base64Alphabet::url, false);
}

Bytes buildPairingHello(ByteView deviceID, const crypto::Ed25519PrivateKey& identity,
                        const crypto::X25519PublicKey& ephemeralPub, ByteView nonce) {
    ByteWriter w(kPairingHelloSize);
    w.bytes(kMagic)
        .u16LE(kVersion)
        .u8(kTypeHello)
        .bytes(deviceID)
        .bytes(identity.publicKey().raw())
        .bytes(ephemeralPub.raw())
        .bytes(nonce);
    const auto signature = identity.sign(w.view());
    w.bytes(signature);
    return w.take();
}

std::optional<PairingAckParsed> parsePairingAck(ByteView data,
                                                const crypto::Ed25519PublicKey& desktopIdentity) {
    ByteReader r(data);
    auto magic = r.readBytes(4);
    auto version = r.readU16LE();
    auto type = r.readU8();
    auto ephemeral = r.readBytes(32);
    auto nonce = r.readBytes(16);
    auto signature = r.readBytes(64);
    if (!magic || !version || !type || !ephemeral || !nonce || !signature)
        return std::nullopt;
    if (!std::equal(magic->begin(), magic->end(), kMagic.begin()) || *version != kVersion ||
        *type != kTypeAck)
        return std::nullopt;
    if (!desktopIdentity.verify(data.first(kPairingAckSignedSize), *signature))
        return std::nullopt;
    return PairingAckParsed{crypto::X25519PublicKey::fromRaw(*ephemeral), toArray<16>(*nonce)};
}

std::optional<QRPayload> parseQRPayload(std::string_view text) {
    if (!text.starts_with(kQRPrefix))
        return std::nullopt;
    auto raw = base64UrlDecode(text.substr(kQRPrefix.size()));
    if (!raw || raw->size() != 64)
        return std::nullopt;
    return QRPayload{Bytes(raw->begin(), raw->begin() + 16), Bytes(raw->begin() + 16, raw->begin() + 32),
                     Bytes(raw->begin() + 32, raw->end())};
}

} // namespace sorvane
