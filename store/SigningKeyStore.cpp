#include "store/SigningKeyStore.h"

#include "store/KeyStore.h"

#include <openssl/crypto.h>

#include <utility>

namespace sorvane {
namespace {

constexpr size_t kSigningKeySize = 32;

// Wipes key bytes read from the secret store once they have been used.
struct WipeOnExit {
    Bytes& bytes;
    ~WipeOnExit() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

} // namespace

SigningKeyStore::SigningKeyStore(std::unique_ptr<SecretStore> secrets)
    : m_secrets(std::move(secrets)) {}

SigningKeyResult SigningKeyStore::resolve(bool mayPrompt) {
    SecretLookup stored = m_secrets->copy(kItem, mayPrompt);
    WipeOnExit wipe{stored.data};
    switch (stored.outcome) {
    case SecretLookup::Outcome::refused:
        // The phone knows the public key of the key we cannot read: a new one
        // would silently end the pairing.
        return {std::nullopt,
                stored.detail.empty() ? std::string("no reason given") : std::move(stored.detail)};
    case SecretLookup::Outcome::found:
        if (stored.data.size() == kSigningKeySize)
            return {crypto::Ed25519PrivateKey::fromRaw(stored.data), {}};
        break;
    case SecretLookup::Outcome::notFound:
        break;
    }
    auto key = crypto::Ed25519PrivateKey::generate();
    m_secrets->remove(kItem);
    int32_t status = m_secrets->add(kItem, key.raw());
    if (status != 0)
        throw KeyStoreError::keyringWrite(status);
    return {std::move(key), {}};
}

} // namespace sorvane
