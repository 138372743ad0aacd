#include "adapters/linux/secret/LinuxSecretStore.h"

#include "base/Log.h"

#include <utility>

namespace sorvane {

LinuxSecretStore::LinuxSecretStore(std::filesystem::path fallbackDirectory)
    : m_files(std::move(fallbackDirectory)) {}

void LinuxSecretStore::switchToFiles(const SecretItemId& id, const std::string& detail) {
    m_usingFiles = true;
    logLine("Sorvane: no Secret Service answered (" + detail + "); keeping the signing key in " +
            m_files.pathFor(id).string());
}

std::optional<Bytes> LinuxSecretStore::copy(const SecretItemId& id) {
    if (m_usingFiles)
        return m_files.copy(id);
    auto found = m_keyring.lookup(id);
    switch (found.outcome) {
    case LibsecretStore::Outcome::done:
        return std::move(found.data);
    case LibsecretStore::Outcome::unavailable:
        switchToFiles(id, found.detail);
        return m_files.copy(id);
    case LibsecretStore::Outcome::refused:
        logLine("Sorvane: Secret Service lookup failed: " + found.detail);
        return std::nullopt;
    case LibsecretStore::Outcome::notFound:
        break;
    }
    // Nothing in the keyring: a file left by an earlier run without a Secret
    // Service still holds the key, and replacing it would lose the pairing.
    auto fromFile = m_files.copy(id);
    if (fromFile) {
        auto moved = m_keyring.store(id, *fromFile);
        if (moved.outcome == LibsecretStore::Outcome::done) {
            m_files.remove(id);
            logLine("Sorvane: moved the signing key from " + m_files.pathFor(id).string() +
                    " into the Secret Service");
        } else {
            logLine("Sorvane: cannot move the signing key into the Secret Service: " +
                    moved.detail);
        }
    }
    return fromFile;
}

void LinuxSecretStore::remove(const SecretItemId& id) {
    if (m_usingFiles) {
        m_files.remove(id);
        return;
    }
    // Only unlocked items are deleted; a locked one stays as it is.
    m_keyring.clear(id);
}

int32_t LinuxSecretStore::add(const SecretItemId& id, ByteView data) {
    if (m_usingFiles)
        return m_files.add(id, data);
    auto stored = m_keyring.store(id, data);
    if (stored.outcome == LibsecretStore::Outcome::done)
        return 0;
    logLine("Sorvane: Secret Service write failed: " + stored.detail);
    return stored.status;
}

} // namespace sorvane
