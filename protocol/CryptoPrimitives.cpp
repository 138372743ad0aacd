#include "protocol/CryptoPrimitives.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <utility>

namespace sorvane::crypto {
namespace {

template <auto Fn> struct Deleter {
    template <class T> void operator()(T* p) const { Fn(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX_free>>;
using KdfPtr = std::unique_ptr<EVP_KDF, Deleter<EVP_KDF_free>>;
using KdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, Deleter<EVP_KDF_CTX_free>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BN_free>>;
using BnCtxPtr = std::unique_ptr<BN_CTX, Deleter<BN_CTX_free>>;

[[noreturn]] void fail(const char* what) {
    // Drain the thread's error queue so a later, unrelated failure does not
    // report this one; keep the first entry for the message.
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    std::string msg = what;
    if (code != 0) {
        char buf[256];
        ERR_error_string_n(code, buf, sizeof buf);
        msg += " (";
        msg += buf;
        msg += ")";
    }
    throw CryptoLibraryError(msg);
}

void check(int ok, const char* what) {
    if (ok != 1)
        fail(what);
}

int intLength(size_t n, const char* what) {
    if (n > static_cast<size_t>(INT_MAX))
        fail(what);
    return static_cast<int>(n);
}

// OpenSSL wants a non-null pointer even for empty inputs in some calls.
const uint8_t* ptrOrDummy(ByteView v) {
    static const uint8_t dummy = 0;
    return v.empty() ? &dummy : v.data();
}

} // namespace

Sha256Digest sha256(ByteView data) {
    Sha256Digest out;
    if (EVP_Digest(ptrOrDummy(data), data.size(), out.data(), nullptr, EVP_sha256(), nullptr) != 1)
        fail("SHA-256 failed");
    return out;
}

Bytes randomBytes(size_t n) {
    Bytes out(n);
    if (n > 0 && RAND_bytes(out.data(), intLength(n, "random request too large")) != 1)
        fail("random source failed");
    return out;
}

Bytes hkdfSha256(ByteView ikm, ByteView salt, ByteView info, size_t outLength) {
    if (outLength == 0 || outLength > 255 * 32)
        throw CryptoLibraryError("HKDF output length out of range");
    KdfPtr kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    if (!kdf)
        fail("HKDF unavailable");
    KdfCtxPtr ctx(EVP_KDF_CTX_new(kdf.get()));
    if (!ctx)
        fail("HKDF context allocation failed");

    char digest[] = "SHA256";
    OSSL_PARAM params[5];
    size_t n = 0;
    params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
    params[n++] = OSSL_PARAM_construct_octet_string(
        OSSL_KDF_PARAM_KEY, const_cast<uint8_t*>(ptrOrDummy(ikm)), ikm.size());
    // An absent salt is HashLen zero bytes, which is what HMAC makes of an empty key.
    if (!salt.empty())
        params[n++] = OSSL_PARAM_construct_octet_string(
            OSSL_KDF_PARAM_SALT, const_cast<uint8_t*>(salt.data()), salt.size());
    if (!info.empty())
        params[n++] = OSSL_PARAM_construct_octet_string(
            OSSL_KDF_PARAM_INFO, const_cast<uint8_t*>(info.data()), info.size());
    params[n] = OSSL_PARAM_construct_end();

    Bytes out(outLength);
    if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) {
        OPENSSL_cleanse(out.data(), out.size());
        fail("HKDF derivation failed");
    }
    return out;
}

// ---------------------------------------------------------------- AES-256-GCM

struct AesGcmKey::Contexts {
    CipherCtxPtr enc;
    CipherCtxPtr dec;
};

AesGcmKey::AesGcmKey(ByteView key) : m_ctx(std::make_unique<Contexts>()) {
    if (key.size() != kAesKeySize)
        throw CryptoLibraryError("AES-256-GCM key must be 32 bytes");
    m_ctx->enc.reset(EVP_CIPHER_CTX_new());
    m_ctx->dec.reset(EVP_CIPHER_CTX_new());
    if (!m_ctx->enc || !m_ctx->dec)
        fail("cipher context allocation failed");
    const EVP_CIPHER* gcm = EVP_aes_256_gcm();
    // The key schedule is computed once here; each call only sets a new nonce.
    check(EVP_EncryptInit_ex(m_ctx->enc.get(), gcm, nullptr, nullptr, nullptr), "GCM init failed");
    check(EVP_CIPHER_CTX_ctrl(m_ctx->enc.get(), EVP_CTRL_GCM_SET_IVLEN, kGcmNonceSize, nullptr),
          "GCM IV length");
    check(EVP_EncryptInit_ex(m_ctx->enc.get(), nullptr, nullptr, key.data(), nullptr),
          "GCM key setup failed");
    check(EVP_DecryptInit_ex(m_ctx->dec.get(), gcm, nullptr, nullptr, nullptr), "GCM init failed");
    check(EVP_CIPHER_CTX_ctrl(m_ctx->dec.get(), EVP_CTRL_GCM_SET_IVLEN, kGcmNonceSize, nullptr),
          "GCM IV length");
    check(EVP_DecryptInit_ex(m_ctx->dec.get(), nullptr, nullptr, key.data(), nullptr),
          "GCM key setup failed");
}

AesGcmKey::~AesGcmKey() = default;
AesGcmKey::AesGcmKey(AesGcmKey&&) noexcept = default;
AesGcmKey& AesGcmKey::operator=(AesGcmKey&&) noexcept = default;

void AesGcmKey::seal(ByteView nonce, ByteView aad, ByteView plaintext, Bytes& out) {
    if (nonce.size() != kGcmNonceSize)
        throw CryptoLibraryError("GCM nonce must be 12 bytes");
    EVP_CIPHER_CTX* ctx = m_ctx->enc.get();
    check(EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data()), "GCM nonce setup failed");
    int len = 0;
    if (!aad.empty())
        check(EVP_EncryptUpdate(ctx, nullptr, &len, aad.data(), intLength(aad.size(), "AAD too long")),
              "GCM AAD failed");
    const size_t start = out.size();
    out.resize(start + plaintext.size() + kGcmTagSize);
    uint8_t* dst = out.data() + start;
    int written = 0;
    if (!plaintext.empty()) {
        check(EVP_EncryptUpdate(ctx, dst, &len, plaintext.data(),
                                intLength(plaintext.size(), "plaintext too long")),
              "GCM encryption failed");
        written = len;
    }
    check(EVP_EncryptFinal_ex(ctx, dst + written, &len), "GCM finalisation failed");
    written += len;
    check(EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, kGcmTagSize, dst + written),
          "GCM tag failed");
}

Bytes AesGcmKey::open(ByteView nonce, ByteView aad, ByteView sealed) {
    Bytes out(sealed.begin(), sealed.end());
    out.resize(openInPlace(nonce, aad, out));
    return out;
}

size_t AesGcmKey::openInPlace(ByteView nonce, ByteView aad, std::span<uint8_t> sealed) {
    if (nonce.size() != kGcmNonceSize)
        throw CryptoLibraryError("GCM nonce must be 12 bytes");
    // OpenSSL would accept a shorter tag; a truncated tag is a forgery aid.
    if (sealed.size() < kGcmTagSize)
        throw CryptoLibraryError("authentication failure");
    const std::span<uint8_t> text = sealed.first(sealed.size() - kGcmTagSize);
    const std::span<uint8_t> tag = sealed.last(kGcmTagSize);
    EVP_CIPHER_CTX* ctx = m_ctx->dec.get();
    check(EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data()), "GCM nonce setup failed");
    int len = 0;
    if (!aad.empty())
        check(EVP_DecryptUpdate(ctx, nullptr, &len, aad.data(), intLength(aad.size(), "AAD too long")),
              "GCM AAD failed");
    // GCM decrypts in place when input and output are the same buffer.
    if (!text.empty())
        check(EVP_DecryptUpdate(ctx, text.data(), &len, text.data(),
                                intLength(text.size(), "ciphertext too long")),
              "GCM decryption failed");
    check(EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, kGcmTagSize, tag.data()),
          "GCM tag setup failed");
    uint8_t finalBlock[16];
    if (EVP_DecryptFinal_ex(ctx, finalBlock, &len) != 1) {
        OPENSSL_cleanse(sealed.data(), sealed.size());
        ERR_clear_error();
        throw CryptoLibraryError("authentication failure");
    }
    return text.size();
}

Bytes aes256GcmSeal(ByteView key, ByteView nonce, ByteView aad, ByteView plaintext) {
    AesGcmKey k(key);
    Bytes out;
    out.reserve(plaintext.size() + kGcmTagSize);
    k.seal(nonce, aad, plaintext, out);
    return out;
}

Bytes aes256GcmOpen(ByteView key, ByteView nonce, ByteView aad, ByteView sealed) {
    AesGcmKey k(key);
    return k.open(nonce, aad, sealed);
}

// ---------------------------------------------------------------- Ed25519

namespace {

PkeyPtr rawPublic(int type, ByteView raw) {
    PkeyPtr key(EVP_PKEY_new_raw_public_key(type, nullptr, raw.data(), raw.size()));
    if (!key)
        fail("public key rejected");
    return key;
}

PkeyPtr rawPrivate(int type, ByteView raw) {
    PkeyPtr key(EVP_PKEY_new_raw_private_key(type, nullptr, raw.data(), raw.size()));
    if (!key)
        fail("private key rejected");
    return key;
}

std::array<uint8_t, 32> publicOf(EVP_PKEY* key) {
    std::array<uint8_t, 32> out{};
    size_t len = out.size();
    if (EVP_PKEY_get_raw_public_key(key, out.data(), &len) != 1 || len != out.size())
        fail("public key export failed");
    return out;
}

} // namespace

Ed25519PublicKey Ed25519PublicKey::fromRaw(ByteView raw) {
    if (raw.size() != 32)
        throw CryptoLibraryError("Ed25519 public key must be 32 bytes");
    rawPublic(EVP_PKEY_ED25519, raw); // let the library veto the encoding
    Ed25519PublicKey key;
    std::copy(raw.begin(), raw.end(), key.m_raw.begin());
    return key;
}

bool Ed25519PublicKey::verify(ByteView message, ByteView signature) const {
    if (signature.size() != 64)
        return false;
    PkeyPtr key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, m_raw.data(), m_raw.size()));
    MdCtxPtr md(EVP_MD_CTX_new());
    if (!key || !md || EVP_DigestVerifyInit(md.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        ERR_clear_error();
        return false;
    }
    const int rc = EVP_DigestVerify(md.get(), signature.data(), signature.size(),
                                    ptrOrDummy(message), message.size());
    ERR_clear_error();
    return rc == 1;
}

Ed25519PrivateKey Ed25519PrivateKey::generate() {
    Bytes seed = randomBytes(32);
    Ed25519PrivateKey key = fromRaw(seed);
    OPENSSL_cleanse(seed.data(), seed.size());
    return key;
}

Ed25519PrivateKey Ed25519PrivateKey::fromRaw(ByteView raw) {
    if (raw.size() != 32)
        throw CryptoLibraryError("Ed25519 private key must be 32 bytes");
    PkeyPtr pkey = rawPrivate(EVP_PKEY_ED25519, raw);
    Ed25519PrivateKey key;
    std::copy(raw.begin(), raw.end(), key.m_raw.begin());
    const auto pub = publicOf(pkey.get());
    key.m_public = Ed25519PublicKey::fromRaw(pub);
    return key;
}

Ed25519PrivateKey::~Ed25519PrivateKey() { OPENSSL_cleanse(m_raw.data(), m_raw.size()); }

Ed25519Signature Ed25519PrivateKey::sign(ByteView message) const {
    PkeyPtr pkey = rawPrivate(EVP_PKEY_ED25519, m_raw);
    MdCtxPtr md(EVP_MD_CTX_new());
    if (!md)
        fail("digest context allocation failed");
    check(EVP_DigestSignInit(md.get(), nullptr, nullptr, nullptr, pkey.get()), "Ed25519 sign init");
    Ed25519Signature sig{};
    size_t len = sig.size();
    check(EVP_DigestSign(md.get(), sig.data(), &len, ptrOrDummy(message), message.size()),
          "Ed25519 signing failed");
    return sig;
}

// Point checks use plain modular arithmetic on the affine twisted Edwards curve
// -x^2 + y^2 = 1 + d x^2 y^2 over p = 2^255 - 19. Keys are checked only when a
// peer hands us one, so clarity wins over speed here.
bool isStrongEd25519PublicKey(ByteView raw) {
    if (raw.size() != 32)
        return false;
    BnCtxPtr bctx(BN_CTX_new());
    if (!bctx)
        fail("bignum context allocation failed");
    BN_CTX* c = bctx.get();
    auto bn = [] {
        BnPtr v(BN_new());
        if (!v)
            fail("bignum allocation failed");
        return v;
    };
    auto ok = [](int r) {
        if (r != 1)
            fail("bignum arithmetic failed");
    };

    BnPtr p = bn(), d = bn(), one = bn(), tmp = bn(), tmp2 = bn();
    ok(BN_set_word(p.get(), 1));
    ok(BN_lshift(p.get(), p.get(), 255));
    ok(BN_sub_word(p.get(), 19));
    ok(BN_set_word(one.get(), 1));
    // d = -121665 / 121666 mod p
    ok(BN_set_word(tmp.get(), 121666));
    if (!BN_mod_inverse(tmp.get(), tmp.get(), p.get(), c))
        fail("bignum inverse failed");
    ok(BN_set_word(tmp2.get(), 121665));
    ok(BN_mod_mul(d.get(), tmp2.get(), tmp.get(), p.get(), c));
    ok(BN_mod_sub(d.get(), p.get(), d.get(), p.get(), c));

    std::array<uint8_t, 32> le{};
    std::copy(raw.begin(), raw.end(), le.begin());
    const bool sign = (le[31] & 0x80) != 0;
    le[31] &= 0x7f;
    BnPtr y = bn();
    if (!BN_lebin2bn(le.data(), static_cast<int>(le.size()), y.get()))
        fail("bignum decode failed");
    if (BN_cmp(y.get(), p.get()) >= 0)
        return false; // non-canonical y

    // x^2 = (y^2 - 1) / (d y^2 + 1)
    BnPtr y2 = bn(), u = bn(), v = bn(), x2 = bn(), x = bn(), e = bn();
    ok(BN_mod_sqr(y2.get(), y.get(), p.get(), c));
    ok(BN_mod_sub(u.get(), y2.get(), one.get(), p.get(), c));
    ok(BN_mod_mul(v.get(), d.get(), y2.get(), p.get(), c));
    ok(BN_mod_add(v.get(), v.get(), one.get(), p.get(), c));
    if (!BN_mod_inverse(v.get(), v.get(), p.get(), c))
        fail("bignum inverse failed");
    ok(BN_mod_mul(x2.get(), u.get(), v.get(), p.get(), c));
    // Candidate root x = x2^((p+3)/8); fix up with sqrt(-1) = 2^((p-1)/4).
    ok(BN_copy(e.get(), p.get()) ? 1 : 0);
    ok(BN_add_word(e.get(), 3));
    ok(BN_rshift(e.get(), e.get(), 3));
    ok(BN_mod_exp(x.get(), x2.get(), e.get(), p.get(), c));
    ok(BN_mod_sqr(tmp.get(), x.get(), p.get(), c));
    if (BN_cmp(tmp.get(), x2.get()) != 0) {
        BnPtr i = bn(), two = bn();
        ok(BN_set_word(two.get(), 2));
        ok(BN_copy(e.get(), p.get()) ? 1 : 0);
        ok(BN_sub_word(e.get(), 1));
        ok(BN_rshift(e.get(), e.get(), 2));
        ok(BN_mod_exp(i.get(), two.get(), e.get(), p.get(), c));
        ok(BN_mod_mul(x.get(), x.get(), i.get(), p.get(), c));
        ok(BN_mod_sqr(tmp.get(), x.get(), p.get(), c));
        if (BN_cmp(tmp.get(), x2.get()) != 0)
            return false; // not on the curve
    }
    if (BN_is_zero(x.get()) && sign)
        return false; // non-canonical encoding of x = 0

    // Small order means [8]P is the identity (0, 1). Three doublings with the
    // complete addition law (d is a non-square, so no exceptional cases).
    BnPtr xx = bn(), yy = bn(), k = bn(), nx = bn(), ny = bn(), den = bn();
    for (int round = 0; round < 3; ++round) {
        ok(BN_mod_mul(xx.get(), x.get(), x.get(), p.get(), c));
        ok(BN_mod_mul(yy.get(), y.get(), y.get(), p.get(), c));
        // k = d x^2 y^2
        ok(BN_mod_mul(k.get(), xx.get(), yy.get(), p.get(), c));
        ok(BN_mod_mul(k.get(), k.get(), d.get(), p.get(), c));
        // x' = 2xy / (1 + k)
        ok(BN_mod_mul(nx.get(), x.get(), y.get(), p.get(), c));
        ok(BN_mod_add(nx.get(), nx.get(), nx.get(), p.get(), c));
        ok(BN_mod_add(den.get(), one.get(), k.get(), p.get(), c));
        if (!BN_mod_inverse(den.get(), den.get(), p.get(), c))
            fail("bignum inverse failed");
        ok(BN_mod_mul(nx.get(), nx.get(), den.get(), p.get(), c));
        // y' = (y^2 + x^2) / (1 - k)
        ok(BN_mod_add(ny.get(), yy.get(), xx.get(), p.get(), c));
        ok(BN_mod_sub(den.get(), one.get(), k.get(), p.get(), c));
        if (!BN_mod_inverse(den.get(), den.get(), p.get(), c))
            fail("bignum inverse failed");
        ok(BN_mod_mul(ny.get(), ny.get(), den.get(), p.get(), c));
        std::swap(x, nx);
        std::swap(y, ny);
    }
    const bool identity = BN_is_zero(x.get()) && BN_is_one(y.get());
    return !identity;
}

// ---------------------------------------------------------------- X25519

X25519PublicKey X25519PublicKey::fromRaw(ByteView raw) {
    if (raw.size() != 32)
        throw CryptoLibraryError("X25519 public key must be 32 bytes");
    X25519PublicKey key;
    std::copy(raw.begin(), raw.end(), key.m_raw.begin());
    return key;
}

X25519PrivateKey X25519PrivateKey::generate() {
    Bytes seed = randomBytes(32);
    X25519PrivateKey key = fromRaw(seed);
    OPENSSL_cleanse(seed.data(), seed.size());
    return key;
}

X25519PrivateKey X25519PrivateKey::fromRaw(ByteView raw) {
    if (raw.size() != 32)
        throw CryptoLibraryError("X25519 private key must be 32 bytes");
    PkeyPtr pkey = rawPrivate(EVP_PKEY_X25519, raw);
    X25519PrivateKey key;
    std::copy(raw.begin(), raw.end(), key.m_raw.begin());
    key.m_public = X25519PublicKey::fromRaw(publicOf(pkey.get()));
    return key;
}

X25519PrivateKey::~X25519PrivateKey() { OPENSSL_cleanse(m_raw.data(), m_raw.size()); }

std::array<uint8_t, 32> X25519PrivateKey::agree(const X25519PublicKey& peer) const {
    PkeyPtr ours = rawPrivate(EVP_PKEY_X25519, m_raw);
    PkeyPtr theirs = rawPublic(EVP_PKEY_X25519, peer.raw());
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(ours.get(), nullptr));
    if (!ctx)
        fail("key agreement context allocation failed");
    check(EVP_PKEY_derive_init(ctx.get()), "X25519 init failed");
    check(EVP_PKEY_derive_set_peer(ctx.get(), theirs.get()), "X25519 peer key rejected");
    std::array<uint8_t, 32> shared{};
    size_t len = shared.size();
    if (EVP_PKEY_derive(ctx.get(), shared.data(), &len) != 1 || len != shared.size()) {
        OPENSSL_cleanse(shared.data(), shared.size());
        fail("X25519 key agreement failed");
    }
    return shared;
}

} // namespace sorvane::crypto
