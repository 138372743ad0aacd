// Secret items kept as files of mode 0600 in one private directory, for machines
// where no Secret Service answers (a headless box). Item (service, account) is
// the file "<service>-<account>.key" holding the item's bytes as they are; ids
// are the program's own constants, never user input.
//
// Thread-safety: none; one thread at a time.
#pragma once

#include "ports/SecretStore.h"

#include <filesystem>

namespace sorvane {

class FileSecretStore final : public SecretStore {
public:
    // `directory` must exist; the key store creates the data directory.
    explicit FileSecretStore(std::filesystem::path directory);

    std::filesystem::path pathFor(const SecretItemId& id) const;

    // notFound when the file is missing, or when something else than a regular
    // file of at most 4 KiB is there (logged: it holds no key of ours, and add()
    // replaces it). A file that cannot be read (permissions, an I/O error) is
    // refused, unlogged (the caller reports it): it may hold the key. `mayPrompt`
    // is ignored.
    SecretLookup copy(const SecretItemId& id, bool mayPrompt) override;
    void remove(const SecretItemId& id) override;
    // Writes the file atomically; the status is the errno of the failure.
    int32_t add(const SecretItemId& id, ByteView data) override;

private:
    std::filesystem::path m_directory;
};

} // namespace sorvane
