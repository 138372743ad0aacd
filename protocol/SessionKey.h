// The session cipher: one SessionKey per direction, AES-256-GCM with a 12-byte
// nonce of counter (u32 LE) | nonceRandom (8 bytes).
//
// Encrypted frame: counter (4) | nonceRandom (8) | ciphertext | tag (16).
// Sealing advances counterTx before it seals, so no counter is ever reused.
// Opening refuses a counter at or below the last one opened (counterRxFloor) and
// moves the floor only on success. A failed open throws and changes nothing.
//
// Not thread-safe; a SessionKey is used from the main thread only.
#pragma once

#include "base/Bytes.h"
#include "protocol/CryptoPrimitives.h"

#include <array>
#include <memory>
#include <optional>
#include <string_view>

namespace sorvane {

inline constexpr size_t kEncryptedFrameOverhead = 12 + 16;

class SessionKey {
public:
    // `keyBytes` must be 32 bytes and `nonceRandom` 8; anything else is a
    // programming error and throws std::invalid_argument.
    SessionKey(ByteView keyBytes, ByteView nonceRandom);

    // Seals with the next counter; returns it and ciphertext || tag.
    // Throws SorvaneCryptoError::counterExhausted once the counter reaches 2^32-1.
    std::pair<uint32_t, Bytes> encrypt(ByteView aad, ByteView plaintext);
    // encrypt() with the 12 nonce bytes in front: the wire form of the frame.
    Bytes encryptFrame(ByteView aad, ByteView plaintext);
    // Throws SorvaneCryptoError (frameTooShort, staleCounter) or
    // crypto::CryptoLibraryError (authentication failure).
    Bytes decryptFrame(ByteView aad, ByteView data);
    // The same, opening the frame inside `data`'s own storage, which the returned
    // plaintext then reuses: no second buffer for a large frame. On an
    // authentication failure `data` is left wiped.
    Bytes decryptFrame(ByteView aad, Bytes&& data);

    const std::array<uint8_t, 8>& nonceRandom() const { return m_nonceRandom; }

    // Counter of the next frame to seal.
    uint32_t counterTx = 0;
    // Counter of the last frame opened successfully; absent until then.
    std::optional<uint32_t> counterRxFloor;

private:
    std::array<uint8_t, 12> nonce(uint32_t counter) const;
    uint32_t takeCounter();

    crypto::AesGcmKey m_key;
    std::array<uint8_t, 8> m_nonceRandom{};
};

// The keys of the paired phone's current session. tx seals frames to the phone
// (key material bytes 32-63, fresh random nonce bytes); rx opens frames from it
// (bytes 0-31; its nonce bytes are never used).
struct ActiveSession {
    std::shared_ptr<SessionKey> tx;
    std::shared_ptr<SessionKey> rx;

    static ActiveSession fromKeys(ByteView keyA, ByteView keyB);
};

// The 10-byte additional data binding a frame to its service, characteristic and
// frame id: first 4 bytes of each UUID, then the frame id (u16 LE).
std::array<uint8_t, 10> buildAAD(std::string_view serviceUUID, std::string_view charUUID,
                                 uint16_t frameID);

} // namespace sorvane
