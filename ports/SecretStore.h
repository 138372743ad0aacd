// The operating system's store for small secrets (the login keychain or keyring),
// holding items addressed by a service and an account name.
//
// Thread-safety: not thread-safe; one thread at a time. Every call may block on
// inter-process communication (and on an unlock prompt the service shows), so the
// key store calls it on the main thread during start-up only.
#pragma once

#include "base/Bytes.h"

#include <cstdint>
#include <optional>
#include <string>

namespace sorvane {

struct SecretItemId {
    std::string service;
    std::string account;
};

class SecretStore {
public:
    virtual ~SecretStore() = default;

    // The item's data, or nullopt when there is no item or it cannot be read (a
    // locked keyring whose unlock was refused, a service error). Implementations
    // log the reason of a failure; callers see only the absence.
    virtual std::optional<Bytes> copy(const SecretItemId& id) = 0;

    // Deletes the item if there is one. Failures are ignored; an item that cannot
    // be deleted (a locked keyring) is left as it is.
    virtual void remove(const SecretItemId& id) = 0;

    // Stores `data` as the item, replacing one with the same id. Returns 0 on
    // success and a nonzero status code of the service otherwise.
    virtual int32_t add(const SecretItemId& id, ByteView data) = 0;
};

} // namespace sorvane
