// This desktop's long-lived Ed25519 signing key: the 32 raw key bytes in the
// SecretStore item with service "org.sorvane.identity" and account "ed25519".
// The paired phone holds the matching public key, so a key that exists is never
// replaced merely because it cannot be read right now.
//
// Thread-safety: one thread at a time, any thread (the secret store's calls
// block, so callers keep it off the main thread once the program runs).
#pragma once

#include "ports/SecretStore.h"
#include "protocol/CryptoPrimitives.h"

#include <memory>
#include <optional>
#include <string>

namespace sorvane {

struct SigningKeyResult {
    std::optional<crypto::Ed25519PrivateKey> key; // set when resolved
    std::string refusal; // set when the keyring refused and no file holds the key
};

class SigningKeyStore {
public:
    static inline const SecretItemId kItem{"org.sorvane.identity", "ed25519"};

    explicit SigningKeyStore(std::unique_ptr<SecretStore> secrets);
    SigningKeyStore(const SigningKeyStore&) = delete;
    SigningKeyStore& operator=(const SigningKeyStore&) = delete;

    // The stored key when the item holds 32 bytes. An item that is missing or of
    // another length is replaced by a fresh key (removed, then added); when the
    // add fails, KeyStoreError::keyringWrite with the store's status is thrown.
    // A lookup the store refuses yields {nullopt, the store's detail} and nothing
    // is generated or written. `mayPrompt` is passed to the lookup. A key the
    // crypto library rejects is thrown as crypto::CryptoLibraryError.
    SigningKeyResult resolve(bool mayPrompt);

private:
    std::unique_ptr<SecretStore> m_secrets;
};

} // namespace sorvane
