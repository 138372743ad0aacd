// Secret items in the Secret Service (GNOME Keyring, KWallet) through libsecret.
// An item carries the attributes "service" and "account" and is stored in the
// default collection (the login keyring). Its data is stored as raw bytes with the
// content type "application/octet-stream", so binary keys round-trip unchanged.
//
// Calls block on the session bus and, for a locked keyring, on the unlock
// prompt the service shows; with no prompter the service refuses at once.
// The session bus connection is GLib's shared one, which by GLib's default ends
// the process with SIGTERM if the session bus goes away (the session is over).
//
// Thread-safety: none; one thread at a time.
#pragma once

#include "ports/SecretStore.h"
#include "base/Bytes.h"

#include <memory>
#include <string>

namespace sorvane {

class LibsecretStore {
public:
    enum class Outcome {
        done,        // found (lookup) or succeeded (store, clear)
        notFound,    // lookup only: no item with these attributes
        refused,     // the service answered no: locked and not unlocked, an error
        unavailable, // no Secret Service answered at all: no bus, nobody owns the name
    };
    struct Result {
        Outcome outcome = Outcome::done;
        Bytes data;         // lookup's item data when done
        int32_t status = 0; // nonzero when refused or unavailable (the GError code, or -1)
        std::string detail; // the service's message, for the log
    };

    LibsecretStore();
    ~LibsecretStore();
    LibsecretStore(const LibsecretStore&) = delete;
    LibsecretStore& operator=(const LibsecretStore&) = delete;

    // Unlocks matching items when needed; an item that stays locked is refused.
    Result lookup(const SecretItemId& id);
    Result store(const SecretItemId& id, ByteView data);
    // Deletes the unlocked items with these attributes.
    Result clear(const SecretItemId& id);

private:
    struct Service;
    // Opens the proxy on first use; nullptr with `failure` filled when that fails.
    Service* service(Result& failure);
    std::unique_ptr<Service> m_service;
};

} // namespace sorvane
