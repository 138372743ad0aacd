// Known-answer tests for the crypto wrappers: Wycheproof files and the published
// RFC 8032 / 7748 / 5869 vectors, plus the AEAD attacks and the Ed25519 key
// strength check the pairing code relies on.
#include "protocol/CryptoPrimitives.h"
#include "base/Hex.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

namespace sorvane::crypto {
namespace {

using json = nlohmann::json;

json loadVectors(const std::string& relative) {
    const std::string path = std::string(SORVANE_TEST_DATA_DIR) + "/crypto/" + relative;
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot open vector file " + path);
    return json::parse(in);
}

// Strict hex: a malformed vector file must not shrink silently into a passing case.
Bytes unhex(const json& field) {
    const std::string text = field.get<std::string>();
    Bytes out = Hex::decode(text);
    if (out.size() * 2 != text.size())
        throw std::runtime_error("malformed hex in vector file: " + text);
    return out;
}

std::string hex(ByteView bytes) { return Hex::encode(bytes); }

Bytes concat(ByteView a, ByteView b) {
    Bytes out(a.begin(), a.end());
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// How many cases of each declared outcome a Wycheproof file produced.
struct Tally {
    size_t valid = 0;
    size_t invalid = 0;
    size_t acceptable = 0;
    size_t total() const { return valid + invalid + acceptable; }
};

// Runs `check(group, test, result)` on every case with its tcId in the trace and
// checks that the file yielded as many cases as it declares, so that an empty or
// truncated file fails rather than passing vacuously.
template <class Check> Tally forEachCase(const json& file, Check check) {
    Tally tally;
    for (const json& group : file.at("testGroups")) {
        for (const json& test : group.at("tests")) {
            const std::string result = test.at("result").get<std::string>();
            SCOPED_TRACE("tcId " + std::to_string(test.at("tcId").get<int>()) + " (" + result +
                         ") " + test.value("comment", std::string()));
            if (result == "valid")
                ++tally.valid;
            else if (result == "invalid")
                ++tally.invalid;
            else if (result == "acceptable")
                ++tally.acceptable;
            else
                ADD_FAILURE() << "unknown result " << result;
            check(group, test, result);
        }
    }
    EXPECT_GT(tally.total(), 0u);
    EXPECT_EQ(tally.total(), file.at("numberOfTests").get<size_t>());
    return tally;
}

// ------------------------------------------------------------------ AES-256-GCM

TEST(AesGcmVectors, WycheproofSealsValidCasesAndRejectsModifiedOnes) {
    const json file = loadVectors("wycheproof/aes_gcm_256_iv96_tag128_subset.json");
    const Tally tally = forEachCase(file, [](const json& group, const json& t, const std::string& result) {
        ASSERT_EQ(group.at("keySize").get<int>(), 256);
        ASSERT_EQ(group.at("ivSize").get<int>(), 96);
        ASSERT_EQ(group.at("tagSize").get<int>(), 128);
        const Bytes key = unhex(t.at("key"));
        const Bytes iv = unhex(t.at("iv"));
        const Bytes aad = unhex(t.at("aad"));
        const Bytes msg = unhex(t.at("msg"));
        const Bytes sealed = concat(unhex(t.at("ct")), unhex(t.at("tag")));

        if (result == "valid") {
            EXPECT_EQ(hex(aes256GcmSeal(key, iv, aad, msg)), hex(sealed));
            EXPECT_EQ(hex(aes256GcmOpen(key, iv, aad, sealed)), hex(msg));
            // A keyed context reused across calls gives the same answers.
            AesGcmKey k(key);
            Bytes twice;
            k.seal(iv, aad, msg, twice);
            k.seal(iv, aad, msg, twice);
            EXPECT_EQ(hex(twice), hex(concat(sealed, sealed)));
            EXPECT_EQ(hex(k.open(iv, aad, sealed)), hex(msg));
            Bytes inPlace = sealed;
            const size_t length = k.openInPlace(iv, aad, inPlace);
            EXPECT_EQ(hex(ByteView(inPlace).first(length)), hex(msg));
        } else {
            EXPECT_THROW(aes256GcmOpen(key, iv, aad, sealed), CryptoLibraryError);
            // A rejected frame must not poison the context for the next one.
            AesGcmKey k(key);
            EXPECT_THROW(k.open(iv, aad, sealed), CryptoLibraryError);
            // Opening in place leaves no unauthenticated plaintext behind.
            Bytes inPlace = sealed;
            EXPECT_THROW(k.openInPlace(iv, aad, inPlace), CryptoLibraryError);
            EXPECT_EQ(hex(inPlace), hex(Bytes(sealed.size(), 0)));
            Bytes good;
            k.seal(iv, aad, msg, good);
            EXPECT_EQ(hex(k.open(iv, aad, good)), hex(msg));
        }
    });
    EXPECT_GT(tally.valid, 0u);
    EXPECT_GT(tally.invalid, 0u);
}

TEST(AesGcmAttack, TruncatedTagAndWrongAadAreRejected) {
    const Bytes m_key = Hex::decode("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const Bytes m_nonce = Hex::decode("05000000a1a2a3a4a5a6a7a8");
    const Bytes m_aad = Hex::decode("6e70c0016e70c0040201");
    const Bytes m_plaintext = Bytes(100, 0x5a);
    const auto seal = [&](ByteView plaintext) { return aes256GcmSeal(m_key, m_nonce, m_aad, plaintext); };
    const auto open = [&](ByteView sealed) { return aes256GcmOpen(m_key, m_nonce, m_aad, sealed); };

    const Bytes sealed = seal(m_plaintext);
    ASSERT_EQ(hex(open(sealed)), hex(m_plaintext));
    EXPECT_THROW(open(ByteView(sealed).first(sealed.size() - 1)), CryptoLibraryError);

    // Empty plaintext: the sealed form is the bare tag. Its 15-byte prefix is what
    // a forger would send hoping the library checks only the bytes it is given.
    const Bytes tagOnly = seal({});
    ASSERT_EQ(tagOnly.size(), kGcmTagSize);
    EXPECT_THROW(open(ByteView(tagOnly).first(15)), CryptoLibraryError);
    EXPECT_THROW(open({}), CryptoLibraryError);
    AesGcmKey key(m_key);
    Bytes truncated(tagOnly.begin(), tagOnly.begin() + 15);
    EXPECT_THROW(key.openInPlace(m_nonce, m_aad, truncated), CryptoLibraryError);

    // The tag also covers the additional data: another frame's header fails.
    Bytes otherFrame = m_aad;
    otherFrame.back() ^= 0x01; // another frame id
    Bytes longer = m_aad;
    longer.push_back(0);
    for (const Bytes& aad : {otherFrame, longer, Bytes{}}) {
        SCOPED_TRACE("aad " + hex(aad));
        EXPECT_THROW(aes256GcmOpen(m_key, m_nonce, aad, sealed), CryptoLibraryError);
    }
}

// ----------------------------------------------------------------------- X25519

std::optional<std::array<uint8_t, 32>> tryAgree(const X25519PrivateKey& ours,
                                                const X25519PublicKey& theirs) {
    try {
        return ours.agree(theirs);
    } catch (const CryptoLibraryError&) {
        return std::nullopt;
    }
}

TEST(X25519Vectors, WycheproofAgreesOrRefusesZeroSecrets) {
    const json file = loadVectors("wycheproof/x25519_test.json");
    size_t accepted = 0;
    size_t refusedZero = 0;
    const Tally tally = forEachCase(file, [&](const json& group, const json& t, const std::string& result) {
        ASSERT_EQ(group.at("curve").get<std::string>(), "curve25519");
        const auto ours = X25519PrivateKey::fromRaw(unhex(t.at("private")));
        const auto theirs = X25519PublicKey::fromRaw(unhex(t.at("public")));
        const Bytes shared = unhex(t.at("shared"));
        const bool zeroSecret = std::all_of(shared.begin(), shared.end(), [](uint8_t b) { return b == 0; });
        const auto got = tryAgree(ours, theirs);

        if (result == "invalid") {
            EXPECT_FALSE(got) << "accepted an invalid exchange";
        } else if (zeroSecret) {
            // A low-order peer key forces the all-zero secret; agree() refuses it.
            EXPECT_FALSE(got) << "an all-zero shared secret must be refused";
            refusedZero += got ? 0 : 1;
        } else if (result == "valid") {
            ASSERT_TRUE(got) << "refused a valid exchange";
            EXPECT_EQ(hex(*got), hex(shared));
            ++accepted;
        } else if (got) { // acceptable: either outcome, but never a wrong secret
            EXPECT_EQ(hex(*got), hex(shared));
            ++accepted;
        }
    });
    EXPECT_GT(tally.valid, 0u);
    EXPECT_GT(accepted, 0u);
    EXPECT_GT(refusedZero, 0u);
}

TEST(X25519Vectors, Rfc7748ScalarMultiplicationAndDiffieHellman) {
    const json x = loadVectors("rfc_vectors.json").at("x25519_rfc7748");
    size_t cases = 0;
    for (const json& t : x.at("scalar_mult")) {
        SCOPED_TRACE(t.at("name").get<std::string>());
        const auto scalar = X25519PrivateKey::fromRaw(unhex(t.at("scalar")));
        EXPECT_EQ(hex(scalar.agree(X25519PublicKey::fromRaw(unhex(t.at("u"))))), t.at("out").get<std::string>());
        ++cases;
    }
    EXPECT_EQ(cases, 2u);

    const json& dh = x.at("dh_6_1");
    const auto alice = X25519PrivateKey::fromRaw(unhex(dh.at("alice_private")));
    const auto bob = X25519PrivateKey::fromRaw(unhex(dh.at("bob_private")));
    EXPECT_EQ(hex(alice.publicKey().raw()), dh.at("alice_public").get<std::string>());
    EXPECT_EQ(hex(bob.publicKey().raw()), dh.at("bob_public").get<std::string>());
    EXPECT_EQ(hex(alice.agree(bob.publicKey())), dh.at("shared").get<std::string>());
    EXPECT_EQ(hex(bob.agree(alice.publicKey())), dh.at("shared").get<std::string>());
}

// k = u = 9; repeat: r = X25519(k, u); u = k; k = r.
std::string iterateX25519(size_t rounds) {
    std::array<uint8_t, 32> k{};
    k[0] = 9;
    std::array<uint8_t, 32> u = k;
    for (size_t i = 0; i < rounds; ++i) {
        const auto r = X25519PrivateKey::fromRaw(k).agree(X25519PublicKey::fromRaw(u));
        u = k;
        k = r;
    }
    return hex(k);
}

TEST(X25519Vectors, Rfc7748IteratedOnce) {
    const json it = loadVectors("rfc_vectors.json").at("x25519_rfc7748").at("iterated");
    EXPECT_EQ(iterateX25519(1), it.at("after_1").get<std::string>());
}

// Takes minutes; run with SORVANE_SLOW_CRYPTO_VECTORS=1.
TEST(X25519Vectors, Rfc7748IteratedMillionTimes) {
    if (std::getenv("SORVANE_SLOW_CRYPTO_VECTORS") == nullptr)
        GTEST_SKIP() << "set SORVANE_SLOW_CRYPTO_VECTORS=1 to run the 1,000,000-round case";
    const json it = loadVectors("rfc_vectors.json").at("x25519_rfc7748").at("iterated");
    EXPECT_EQ(iterateX25519(1000000), it.at("after_1000000").get<std::string>());
}

// ---------------------------------------------------------------------- Ed25519

TEST(Ed25519Vectors, WycheproofVerifiesValidAndRejectsInvalid) {
    const json file = loadVectors("wycheproof/ed25519_test.json");
    const Tally tally = forEachCase(file, [](const json& group, const json& t, const std::string& result) {
        const Bytes pk = unhex(group.at("publicKey").at("pk"));
        const Bytes msg = unhex(t.at("msg"));
        const Bytes sig = unhex(t.at("sig"));
        std::optional<Ed25519PublicKey> key;
        try {
            key = Ed25519PublicKey::fromRaw(pk);
        } catch (const CryptoLibraryError&) {
        }
        if (result == "valid") {
            ASSERT_TRUE(key) << "rejected the key of a valid case";
            EXPECT_TRUE(key->verify(msg, sig));
        } else if (result == "invalid") {
            EXPECT_FALSE(key && key->verify(msg, sig));
        }
    });
    EXPECT_GT(tally.valid, 0u);
    EXPECT_GT(tally.invalid, 0u);
}

TEST(Ed25519Vectors, WycheproofKeysAreStrong) {
    const json file = loadVectors("wycheproof/ed25519_test.json");
    size_t keys = 0;
    for (const json& group : file.at("testGroups")) {
        const std::string pk = group.at("publicKey").at("pk").get<std::string>();
        EXPECT_TRUE(isStrongEd25519PublicKey(unhex(pk))) << pk;
        ++keys;
    }
    EXPECT_GT(keys, 0u);
}

TEST(Ed25519Vectors, Rfc8032DerivesSignsAndVerifies) {
    const json tests = loadVectors("rfc_vectors.json").at("ed25519_rfc8032").at("tests");
    size_t cases = 0;
    for (const json& t : tests) {
        SCOPED_TRACE(t.at("name").get<std::string>());
        const auto sk = Ed25519PrivateKey::fromRaw(unhex(t.at("secret")));
        const Bytes msg = unhex(t.at("msg"));
        EXPECT_EQ(hex(sk.publicKey().raw()), t.at("public").get<std::string>());
        EXPECT_EQ(hex(sk.sign(msg)), t.at("sig").get<std::string>());

        const auto pk = Ed25519PublicKey::fromRaw(unhex(t.at("public")));
        const Bytes sig = unhex(t.at("sig"));
        EXPECT_TRUE(pk.verify(msg, sig));
        EXPECT_TRUE(isStrongEd25519PublicKey(pk.raw()));

        EXPECT_FALSE(pk.verify(msg, ByteView(sig).first(63)));
        ++cases;
    }
    EXPECT_EQ(cases, 3u);
}

TEST(Ed25519KeyStrength, RejectsSmallOrderNonCanonicalAndOffCurveEncodings) {
    struct Case {
        const char* what;
        const char* hex;
    };
    const Case weak[] = {
        {"identity", "0100000000000000000000000000000000000000000000000000000000000000"},
        {"identity with sign bit (x = 0)", "0100000000000000000000000000000000000000000000000000000000000080"},
        {"order 2: y = p - 1", "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"},
        {"order 4: y = 0", "0000000000000000000000000000000000000000000000000000000000000000"},
        {"order 4: y = 0, other x", "0000000000000000000000000000000000000000000000000000000000000080"},
        {"order 8", "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05"},
        {"order 8, other x", "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85"},
        {"order 8", "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a"},
        {"order 8, other x", "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa"},
        {"non-canonical y = p", "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"},
        {"non-canonical y = p + 1", "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"},
        {"non-canonical y = 2^255 - 1", "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"},
        {"not on the curve: y = 2", "0200000000000000000000000000000000000000000000000000000000000000"},
    };
    for (const Case& c : weak) {
        SCOPED_TRACE(std::string(c.what) + " " + c.hex);
        const Bytes raw = Hex::decode(c.hex);
        ASSERT_EQ(raw.size(), 32u);
        EXPECT_FALSE(isStrongEd25519PublicKey(raw));
    }
}

TEST(Ed25519KeyStrength, AcceptsGeneratedKeysAndRejectsWrongLengths) {
    for (int i = 0; i < 64; ++i) {
        const auto key = Ed25519PrivateKey::generate();
        ASSERT_TRUE(isStrongEd25519PublicKey(key.publicKey().raw())) << hex(key.publicKey().raw());
    }
    const auto raw = Ed25519PrivateKey::generate().publicKey().raw();
    EXPECT_FALSE(isStrongEd25519PublicKey(ByteView(raw).first(31)));
    EXPECT_FALSE(isStrongEd25519PublicKey(concat(raw, Bytes{0})));
    EXPECT_FALSE(isStrongEd25519PublicKey({}));
}

// ------------------------------------------------------------------ HKDF-SHA256

TEST(HkdfVectors, WycheproofDerivesValidAndRefusesOversizedOutput) {
    const json file = loadVectors("wycheproof/hkdf_sha256_test.json");
    const Tally tally = forEachCase(file, [](const json&, const json& t, const std::string& result) {
        const Bytes ikm = unhex(t.at("ikm"));
        const Bytes salt = unhex(t.at("salt"));
        const Bytes info = unhex(t.at("info"));
        const size_t size = t.at("size").get<size_t>();
        if (result == "valid")
            EXPECT_EQ(hex(hkdfSha256(ikm, salt, info, size)), t.at("okm").get<std::string>());
        else
            EXPECT_THROW(hkdfSha256(ikm, salt, info, size), CryptoLibraryError);
    });
    EXPECT_GT(tally.valid, 0u);
    EXPECT_GT(tally.invalid, 0u);
}

TEST(HkdfVectors, Rfc5869Cases) {
    const json tests = loadVectors("rfc_vectors.json").at("hkdf_sha256_rfc5869").at("tests");
    size_t cases = 0;
    for (const json& t : tests) {
        SCOPED_TRACE(t.at("name").get<std::string>());
        EXPECT_EQ(hex(hkdfSha256(unhex(t.at("ikm")), unhex(t.at("salt")), unhex(t.at("info")),
                                 t.at("L").get<size_t>())),
                  t.at("okm").get<std::string>());
        ++cases;
    }
    EXPECT_EQ(cases, 3u);
    EXPECT_THROW(hkdfSha256(Bytes(32, 1), {}, {}, 0), CryptoLibraryError);
}

} // namespace
} // namespace sorvane::crypto
