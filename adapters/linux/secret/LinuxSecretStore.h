// The desktop's SecretStore: the Secret Service when one answers, else 0600 files
// in the data directory.
//
// The first call that finds no Secret Service at all (no session bus, or nobody
// owning org.freedesktop.secrets: a headless machine) switches this store to the
// files for the rest of its life and logs that once. A Secret Service that
// answers but refuses (a locked keyring, an error) is not a reason to switch:
// the refusal is logged and reported as the interface says.
//
// A key written to a file on a headless run is not lost when a Secret Service
// shows up later: when the service has no item but the file has one, the file's
// data is returned and moved into the service (the file is deleted once the
// service holds it).
//
// Thread-safety: none; one thread at a time (the key store's, at start-up).
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

    std::optional<Bytes> copy(const SecretItemId& id) override;
    void remove(const SecretItemId& id) override;
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
