#include "adapters/linux/secret/LinuxSecretStore.h"

#include "base/Log.h"

#include <utility>

namespace sorvane {

LinuxSecretStore::LinuxSecretStore(std::filesystem::path fallbackDirectory)
    : m_files(std::move(fallbackDirectory)) {}

void LinuxSecretStore::switchToFiles(const SecretItemId& id, const std::string& detail) {
    m_usingFiles = true;
    logLine("Sorvane: no keyring answered (" + detail + "); keeping the signing key in " +
            m_files.pathFor(id).string());
}

SecretLookup LinuxSecretStore::copy(const SecretItemId& id, bool mayPrompt) {
    if (m_usingFiles)
        return m_files.copy(id, mayPrompt);
    auto found = m_keyring.lookup(id, mayPrompt);
    switch (found.outcome) {
    case LibsecretStore::Outcome::done:
        return {SecretLookup::Outcome::found, std::move(found.data), {}};
    case LibsecretStore::Outcome::unavailable:
        switchToFiles(id, found.detail);
        return m_files.copy(id, mayPrompt);
    case LibsecretStore::Outcome::refused: {
        // The keyring may hold the key; only a copy in the file can stand in.
        auto fromFile = m_files.copy(id, mayPrompt);
        if (fromFile.outcome == SecretLookup::Outcome::found) {
            logLine("Sorvane: the keyring refused the signing key (" + found.detail + "); using " +
                    m_files.pathFor(id).string());
            return fromFile;
        }
        SecretLookup refused{SecretLookup::Outcome::refused, {}, std::move(found.detail)};
        if (fromFile.outcome == SecretLookup::Outcome::refused)
            refused.detail += "; " + fromFile.detail;
        return refused;
    }
    case LibsecretStore::Outcome::notFound:
        break;
    }
    // Nothing in the keyring: a file left by an earlier run without a usable
    // keyring still holds the key, and replacing it would lose the pairing.
    auto fromFile = m_files.copy(id, mayPrompt);
    if (fromFile.outcome == SecretLookup::Outcome::found) {
        auto moved = m_keyring.store(id, fromFile.data);
        if (moved.outcome == LibsecretStore::Outcome::done) {
            m_files.remove(id);
            logLine("Sorvane: moved the signing key from " + m_files.pathFor(id).string() +
                    " into the keyring");
        } else {
            logLine("Sorvane: the signing key stays in " + m_files.pathFor(id).string() +
                    " (the keyring cannot store it: " + moved.detail + ")");
        }
    }
    return fromFile;
}

void LinuxSecretStore::remove(const SecretItemId& id) {
    if (!m_usingFiles) {
        // Only unlocked items are deleted; a locked one stays as it is.
        auto cleared = m_keyring.clear(id);
        if (cleared.outcome == LibsecretStore::Outcome::unavailable)
            switchToFiles(id, cleared.detail);
    }
    m_files.remove(id);
}

int32_t LinuxSecretStore::add(const SecretItemId& id, ByteView data) {
    if (m_usingFiles)
        return m_files.add(id, data);
    auto stored = m_keyring.store(id, data);
    switch (stored.outcome) {
    case LibsecretStore::Outcome::done:
        // The item lives in one place: an older copy in the file must not come
        // back when the keyring is away.
        m_files.remove(id);
        return 0;
    case LibsecretStore::Outcome::unavailable:
        switchToFiles(id, stored.detail);
        return m_files.add(id, data);
    case LibsecretStore::Outcome::refused:
    case LibsecretStore::Outcome::notFound:
        break;
    }
    int32_t status = m_files.add(id, data);
    if (status == 0)
        logLine("Sorvane: the keyring cannot store the signing key (" + stored.detail +
                "); keeping it in " + m_files.pathFor(id).string());
    else
        logLine("Sorvane: the keyring cannot store the signing key either: " + stored.detail);
    return status;
}

} // namespace sorvane
