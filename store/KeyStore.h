// The key store: this desktop's identity (a random 16-byte device id and a
// long-lived Ed25519 signing key) and the record of the one paired phone.
//
// Files live in the store directory: "device_id" (the 16 id bytes as they are;
// longer files are accepted and only the first 16 bytes used) and "peers.json"
// (a compact JSON array of PeerRecord objects; the paired phone is the first).
// The signing key is kept by the SigningKeyStore this store owns.
//
// Thread-safety: none; the store is created once at start-up and used on the main
// thread only, but the SigningKeyStore behind signingKeys() may be used on another
// thread (see its header). Errors: KeyStoreError for the cases below; file-system
// failures are thrown as std::system_error; a key the crypto library rejects as
// crypto::CryptoLibraryError; peers that cannot be encoded as nlohmann's
// json::exception.
#pragma once

#include "ports/SecretStore.h"
#include "ports/UserDirectories.h"
#include "protocol/CryptoPrimitives.h"
#include "store/SigningKeyStore.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sorvane {

class KeyStoreError : public std::runtime_error {
public:
    enum class Case { keyringWrite, corruptDeviceID, keyringRefused };

    // "keyring write failed: " and the status as a signed decimal number.
    static KeyStoreError keyringWrite(int32_t status);
    // "device_id file is corrupt"
    static KeyStoreError corruptDeviceID();
    // "the keyring refused the signing key: " and the keyring's reason.
    static KeyStoreError keyringRefused(const std::string& detail);

    Case which() const { return m_case; }
    // The secret store's status for keyringWrite, 0 otherwise.
    int32_t status() const { return m_status; }

private:
    KeyStoreError(Case c, int32_t status, const std::string& description)
        : std::runtime_error(description), m_case(c), m_status(status) {}
    Case m_case;
    int32_t m_status;
};

struct Identity {
    std::array<uint8_t, 16> deviceID;
    crypto::Ed25519PrivateKey signingKey;
};

// The paired phone. JSON keys: "device_id_hex", "identity_pubkey_ed25519_hex",
// "paired_at_ms", "last_counter_received" and "phone_name", which is left out
// when there is no name.
struct PeerRecord {
    std::string deviceIDHex;
    std::string identityPubkeyEd25519Hex; // 64 lower-case hex digits
    uint64_t pairedAtMs = 0;              // milliseconds since 1970-01-01 UTC
    uint32_t lastCounterReceived = 0;
    std::optional<std::string> phoneName;

    bool operator==(const PeerRecord&) const = default;
};

class KeyStore {
public:
    static inline const SecretItemId kIdentityItem = SigningKeyStore::kItem;

    // "<application data root>/org.sorvane.app"; does not create it.
    static std::filesystem::path defaultDirectory(const UserDirectories& directories);

    // Creates `directory` (and missing parents) with mode 0700 if needed. An
    // existing directory that the group or others may write to is set to 0700
    // (and logged); one of another user is refused (store::RefusedFile). Also
    // removes temporaries that an interrupted write of our files left there.
    // `secrets` goes to the signing-key store.
    KeyStore(std::filesystem::path directory, std::unique_ptr<SecretStore> secrets);
    KeyStore(const KeyStore&) = delete;
    KeyStore& operator=(const KeyStore&) = delete;

    const std::filesystem::path& directory() const { return m_directory; }
    const std::filesystem::path& peersPath() const { return m_peersPath; }
    const std::filesystem::path& deviceIDPath() const { return m_deviceIDPath; }

    // loadOrCreateDeviceID(), then signingKeys()->resolve(true). Throws as they
    // do, and keyringRefused when the keyring refused the key (nothing is
    // generated then).
    Identity loadOrCreateIdentity();

    // Reads or creates the device id. Throws corruptDeviceID for a device_id file
    // shorter than 16 bytes (left as it is) and store::RefusedFile for something
    // at device_id that is not a regular file.
    std::array<uint8_t, 16> loadOrCreateDeviceID();

    // The signing key's store, for callers that resolve it on a thread of their own.
    std::shared_ptr<SigningKeyStore> signingKeys() const { return m_signingKeys; }

    // The stored records in file order. Never fails: a missing, refused
    // (not a regular file, over 1 MiB), unreadable or malformed file reads as no
    // peers (all but a missing file are logged, each distinct failure once until
    // the file loads again).
    std::vector<PeerRecord> loadPeers() const;
    // The same, but nullopt when a file stands there that cannot be loaded
    // (refused, unreadable or malformed): the paired phone is then unknown,
    // which is not the same as none.
    std::optional<std::vector<PeerRecord>> readPeers() const;
    // Replaces the peers file atomically. When the last loadPeers could not load
    // the file, it is first moved to "peers.json.unreadable" (replacing an older
    // copy) so that the write loses nothing; a failure of that move is thrown
    // and nothing is written.
    void savePeers(const std::vector<PeerRecord>& peers);
    // Replaces the record with the same identity key by `record` in its place
    // (further copies of that key are dropped), or appends `record` when there
    // is none, and saves. The first record, the paired phone, stays first.
    void putPeer(const PeerRecord& record);
    // Deletes the peers file; a missing file is success.
    void removeAllPeers();
    // loadPeers(), read once and then kept until the file changes through this
    // store (savePeers, putPeer, removeAllPeers): cheap enough to ask at every
    // redraw of the panel.
    const std::vector<PeerRecord>& peers() const;

private:
    std::filesystem::path m_directory;
    std::filesystem::path m_peersPath;
    std::filesystem::path m_deviceIDPath;
    std::shared_ptr<SigningKeyStore> m_signingKeys;
    // Set by a loadPeers that found a file it could not load.
    mutable bool m_keepPeersAside = false;
    mutable std::optional<std::vector<PeerRecord>> m_peersCache;
    // The last peers-file failure logged; empty once the file loads (or is absent).
    mutable std::string m_peersProblem;
};

} // namespace sorvane
