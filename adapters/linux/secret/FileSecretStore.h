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

    // nullopt when the file is missing; a read error is logged and also nullopt.
    std::optional<Bytes> copy(const SecretItemId& id) override;
    void remove(const SecretItemId& id) override;
    // Writes the file atomically; the status is the errno of the failure.
    int32_t add(const SecretItemId& id, ByteView data) override;

private:
    std::filesystem::path m_directory;
};

} // namespace sorvane
