// The desktop's SecretStore: the keyring (the Secret Service) when it can hold
// the item, else a 0600 file in the data directory.
//
// The first call that finds no Secret Service at all (no session bus, or nobody
// owning or able to start org.freedesktop.secrets: a headless machine) switches
// this store to the files for the rest of its life and logs that once.
//
// A keyring that answers but cannot store the item (no default collection, a
// locked one whose prompt was dismissed or cannot be shown, an error, no answer
// in time) is treated like no keyring for that item: add() writes the file and
// logs one line saying why. Lookups look in the keyring, then in the file:
// - found in the keyring: that item;
// - refused by the keyring: the file's item if it has one, else refused (the
//   keyring may hold the key, so the caller must not replace it);
// - not in the keyring: the file's item. A key written to the file on an earlier
//   run is then moved into the keyring (the file is deleted once the keyring
//   holds it; when the keyring cannot take it, the file stays, with one line).
// remove() deletes both copies.
//
// Thread-safety: one thread at a time, any thread.
#pragma once

#include "ports/SecretStore.h"
#include "adapters/linux/secret/FileSecretStore.h"
#include "adapters/linux/secret/LibsecretStore.h"

#include <filesystem>

namespace sorvane {

class LinuxSecretStore final : public SecretStore {
public:
    // `fallbackDirectory` is the data directory (created by the key store).
    explicit LinuxSecretStore(std::filesystem::path fallbackDirectory);

    SecretLookup copy(const SecretItemId& id, bool mayPrompt) override;
    void remove(const SecretItemId& id) override;
    // 0 when the item is stored in the keyring or in the file; otherwise the
    // file's status (the keyring's failure is logged).
    int32_t add(const SecretItemId& id, ByteView data) override;

    // True once no Secret Service answered and the files are in use.
    bool usingFiles() const { return m_usingFiles; }

private:
    void switchToFiles(const SecretItemId& id, const std::string& detail);

    LibsecretStore m_keyring;
    FileSecretStore m_files;
    bool m_usingFiles = false;
};

} // namespace sorvane
