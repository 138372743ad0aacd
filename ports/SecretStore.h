// The operating system's store for small secrets (the desktop's keyring),
// holding items addressed by a service and an account name.
//
// Thread-safety: one thread at a time, any thread. Every call may block on
// inter-process communication (and, for a lookup that may prompt, on the unlock
// prompt the service shows), so callers keep it off the main thread once the
// program runs.
#pragma once

#include "base/Bytes.h"

#include <cstdint>
#include <string>

namespace sorvane {

struct SecretItemId {
    std::string service;
    std::string account;
};

struct SecretLookup {
    enum class Outcome {
        found,    // `data` holds the item's bytes
        notFound, // no item: the caller may create one
        refused,  // there may be an item, but it cannot be read now (a locked
                  // keyring, a dismissed prompt, an error, no answer in time);
                  // the caller must not replace it
    };
    Outcome outcome = Outcome::notFound;
    Bytes data;         // the item's bytes when found
    std::string detail; // why, when refused (for the log)
};

class SecretStore {
public:
    virtual ~SecretStore() = default;

    // The item, or why it cannot be read. `mayPrompt`: the service may show its
    // unlock prompt for a locked item; without it a locked item is refused at once.
    virtual SecretLookup copy(const SecretItemId& id, bool mayPrompt) = 0;

    // Deletes the item if there is one. Failures are ignored; an item that cannot
    // be deleted (a locked keyring) is left as it is.
    virtual void remove(const SecretItemId& id) = 0;

    // Stores `data` as the item, replacing one with the same id. Returns 0 when the
    // item is stored and a nonzero status code of the service otherwise.
    virtual int32_t add(const SecretItemId& id, ByteView data) = 0;
};

} // namespace sorvane
