// Thin owners over OpenSSL 3 libcrypto for the primitives Sorvane uses:
// SHA-256, HKDF-SHA256, AES-256-GCM, Ed25519 and X25519, and system random bytes.
//
// Every OpenSSL handle has an RAII owner; private key bytes are wiped when their
// owner dies. Failures of the library surface as CryptoLibraryError, whose
// description is fit for a log line. All functions are thread-safe; key objects
// are plain values and may be used from one thread at a time.
#pragma once

#include "base/Bytes.h"

#include <array>
#include <memory>
#include <stdexcept>
#include <string>

namespace sorvane::crypto {

// An operation of the crypto library failed or refused its input (a bad tag, a
// key it rejects, an exhausted random source).
class CryptoLibraryError : public std::runtime_error {
public:
    explicit CryptoLibraryError(const std::string& what) : std::runtime_error(what) {}
};

using Sha256Digest = std::array<uint8_t, 32>;

Sha256Digest sha256(ByteView data);

// Fills n bytes from the operating system's cryptographic generator.
Bytes randomBytes(size_t n);

// HKDF-SHA256 (extract and expand). Throws CryptoLibraryError on failure,
// including an output length above 255 * 32 bytes.
Bytes hkdfSha256(ByteView ikm, ByteView salt, ByteView info, size_t outLength);

inline constexpr size_t kAesKeySize = 32;
inline constexpr size_t kGcmNonceSize = 12;
inline constexpr size_t kGcmTagSize = 16;

// One-shot AES-256-GCM. Seal returns ciphertext || 16-byte tag. Open takes the
// same layout, insists on a whole 16-byte tag, and throws CryptoLibraryError
// ("authentication failure") when the tag does not verify; no plaintext is
// returned or left behind in that case.
Bytes aes256GcmSeal(ByteView key, ByteView nonce, ByteView aad, ByteView plaintext);
Bytes aes256GcmOpen(ByteView key, ByteView nonce, ByteView aad, ByteView sealed);

// A keyed AES-256-GCM context that keeps its key schedule between calls, for
// per-frame use. Not thread-safe.
class AesGcmKey {
public:
    explicit AesGcmKey(ByteView key);
    ~AesGcmKey();
    AesGcmKey(AesGcmKey&&) noexcept;
    AesGcmKey& operator=(AesGcmKey&&) noexcept;
    AesGcmKey(const AesGcmKey&) = delete;
    AesGcmKey& operator=(const AesGcmKey&) = delete;

    // Appends ciphertext || tag to `out`.
    void seal(ByteView nonce, ByteView aad, ByteView plaintext, Bytes& out);
    // Returns the plaintext; throws CryptoLibraryError on a bad tag or a short input.
    Bytes open(ByteView nonce, ByteView aad, ByteView sealed);
    // open() where the bytes lie: on success the first sealed.size() - 16 bytes
    // of `sealed` hold the plaintext and that count is returned. Throws like
    // open(), after wiping `sealed`, so no unauthenticated plaintext is left.
    size_t openInPlace(ByteView nonce, ByteView aad, std::span<uint8_t> sealed);

private:
    struct Contexts;
    std::unique_ptr<Contexts> m_ctx;
};

using Ed25519Signature = std::array<uint8_t, 64>;

// An Ed25519 public key in its 32-byte raw encoding.
class Ed25519PublicKey {
public:
    // Throws CryptoLibraryError when the library rejects the encoding.
    static Ed25519PublicKey fromRaw(ByteView raw);

    const std::array<uint8_t, 32>& raw() const { return m_raw; }
    // True only when `signature` is a valid signature of `message`.
    bool verify(ByteView message, ByteView signature) const;

    bool operator==(const Ed25519PublicKey&) const = default;

private:
    std::array<uint8_t, 32> m_raw{};
};

// True when the encoding is canonical (y < p, no sign bit on x = 0) and the point
// lies on the curve outside the small-order subgroup. OpenSSL verifies signatures
// under keys that fail this, and some such signatures hold for any message.
bool isStrongEd25519PublicKey(ByteView raw);

// An Ed25519 private key (the 32-byte seed). Bytes are wiped on destruction.
class Ed25519PrivateKey {
public:
    static Ed25519PrivateKey generate();
    // Throws CryptoLibraryError when `raw` is not 32 bytes or is rejected.
    static Ed25519PrivateKey fromRaw(ByteView raw);
    ~Ed25519PrivateKey();
    Ed25519PrivateKey(const Ed25519PrivateKey&) = default;
    Ed25519PrivateKey& operator=(const Ed25519PrivateKey&) = default;

    const std::array<uint8_t, 32>& raw() const { return m_raw; }
    const Ed25519PublicKey& publicKey() const { return m_public; }
    Ed25519Signature sign(ByteView message) const;

private:
    Ed25519PrivateKey() = default;
    std::array<uint8_t, 32> m_raw{};
    Ed25519PublicKey m_public;
};

class X25519PublicKey {
public:
    // Throws CryptoLibraryError when `raw` is not 32 bytes.
    static X25519PublicKey fromRaw(ByteView raw);
    const std::array<uint8_t, 32>& raw() const { return m_raw; }

private:
    std::array<uint8_t, 32> m_raw{};
};

class X25519PrivateKey {
public:
    static X25519PrivateKey generate();
    static X25519PrivateKey fromRaw(ByteView raw);
    ~X25519PrivateKey();
    X25519PrivateKey(const X25519PrivateKey&) = default;
    X25519PrivateKey& operator=(const X25519PrivateKey&) = default;

    const std::array<uint8_t, 32>& raw() const { return m_raw; }
    const X25519PublicKey& publicKey() const { return m_public; }

    // The shared secret with `peer`. Throws CryptoLibraryError when the library
    // refuses, which includes an all-zero result from a low-order peer key.
    std::array<uint8_t, 32> agree(const X25519PublicKey& peer) const;

private:
    X25519PrivateKey() = default;
    std::array<uint8_t, 32> m_raw{};
    X25519PublicKey m_public;
};

} // namespace sorvane::crypto
