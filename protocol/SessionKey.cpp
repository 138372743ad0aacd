#include "protocol/SessionKey.h"

#include "base/Hex.h"
#include "protocol/SorvaneCryptoError.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace sorvane {

SessionKey::SessionKey(ByteView keyBytes, ByteView nonceRandom)
    : m_key(keyBytes.size() == 32 ? keyBytes
                                  : throw std::invalid_argument("session key must be 32 bytes")) {
    if (nonceRandom.size() != m_nonceRandom.size())
        throw std::invalid_argument("nonceRandom must be 8 bytes");
    std::copy(nonceRandom.begin(), nonceRandom.end(), m_nonceRandom.begin());
}

std::array<uint8_t, 12> SessionKey::nonce(uint32_t counter) const {
    std::array<uint8_t, 12> n{};
    for (int i = 0; i < 4; ++i)
        n[static_cast<size_t>(i)] = static_cast<uint8_t>(counter >> (8 * i));
    std::copy(m_nonceRandom.begin(), m_nonceRandom.end(), n.begin() + 4);
    return n;
}

uint32_t SessionKey::takeCounter() {
    const uint32_t c = counterTx;
    if (c == std::numeric_limits<uint32_t>::max())
        throw SorvaneCryptoError::counterExhausted();
    counterTx = c + 1;
    return c;
}

std::pair<uint32_t, Bytes> SessionKey::encrypt(ByteView aad, ByteView plaintext) {
    const uint32_t c = takeCounter();
    Bytes out;
    out.reserve(plaintext.size() + crypto::kGcmTagSize);
    m_key.seal(nonce(c), aad, plaintext, out);
    return {c, std::move(out)};
}

Bytes SessionKey::encryptFrame(ByteView aad, ByteView plaintext) {
    const uint32_t c = takeCounter();
    const auto n = nonce(c);
    Bytes out;
    out.reserve(kEncryptedFrameOverhead + plaintext.size());
    out.resize(n.size());
    std::copy(n.begin(), n.end(), out.begin());
    m_key.seal(n, aad, plaintext, out);
    return out;
}

Bytes SessionKey::decryptFrame(ByteView aad, ByteView data) {
    return decryptFrame(aad, toBytes(data));
}

Bytes SessionKey::decryptFrame(ByteView aad, Bytes&& data) {
    if (data.size() < kEncryptedFrameOverhead)
        throw SorvaneCryptoError::frameTooShort(data.size());
    ByteReader r(data);
    const ByteView nonceBytes = *r.readBytes(12);
    const uint32_t counter = *ByteReader(nonceBytes).readU32LE();
    if (counterRxFloor && counter <= *counterRxFloor)
        throw SorvaneCryptoError::staleCounter(counter, *counterRxFloor);
    const size_t length = m_key.openInPlace(nonceBytes, aad, std::span<uint8_t>(data).subspan(12));
    // The plaintext sits after the nonce; move it to the front of the buffer.
    data.erase(data.begin(), data.begin() + 12);
    data.resize(length);
    counterRxFloor = counter;
    return std::move(data);
}

ActiveSession ActiveSession::fromKeys(ByteView keyA, ByteView keyB) {
    const Bytes random = crypto::randomBytes(8);
    const std::array<uint8_t, 8> zeros{};
    return ActiveSession{std::make_shared<SessionKey>(keyB, random),
                         std::make_shared<SessionKey>(keyA, zeros)};
}

std::array<uint8_t, 10> buildAAD(std::string_view serviceUUID, std::string_view charUUID,
                                 uint16_t frameID) {
    auto prefix = [](std::string_view uuid) {
        std::string digits;
        digits.reserve(uuid.size());
        for (char ch : uuid)
            if (ch != '-')
                digits.push_back(ch);
        return Hex::decode(digits);
    };
    std::array<uint8_t, 10> aad{};
    const Bytes service = prefix(serviceUUID);
    const Bytes characteristic = prefix(charUUID);
    std::copy_n(service.begin(), std::min<size_t>(4, service.size()), aad.begin());
    std::copy_n(characteristic.begin(), std::min<size_t>(4, characteristic.size()), aad.begin() + 4);
    aad[8] = static_cast<uint8_t>(frameID);
    aad[9] = static_cast<uint8_t>(frameID >> 8);
    return aad;
}

} // namespace sorvane
