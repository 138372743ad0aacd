// Secret items in the Secret Service (GNOME Keyring, KWallet) through libsecret.
// An item carries the attributes "service" and "account" and is stored in the
// default collection (the login keyring). Its data is stored as raw bytes with the
// content type "application/octet-stream", so binary keys round-trip unchanged.
//
// Calls block on the session bus and, for a locked keyring, on the unlock
// prompt the service shows; with no prompter the service refuses at once. Every
// D-Bus call on the service and on the items it returns times out after
// kCallTimeout, and each step (opening the service, a search, reading an item,
// a deletion) ends by then even where no D-Bus timeout applies (a bus that
// accepts the connection and never answers); a step that may show the prompt
// (the unlock of a lookup, a store into a locked collection) ends after
// kPromptTimeout. A step that ran out of time is refused.
// The session bus connection is GLib's shared one, which by GLib's default ends
// the process with SIGTERM if the session bus goes away (the session is over).
//
// Thread-safety: one thread at a time, any thread.
#pragma once

#include "ports/SecretStore.h"
#include "base/Bytes.h"

#include <chrono>
#include <memory>
#include <string>

namespace sorvane {

class LibsecretStore {
public:
    enum class Outcome {
        done,        // found (lookup) or succeeded (store, clear)
        notFound,    // lookup only: no item with these attributes
        refused,     // the service answered no (locked and not unlocked, no default
                     // collection, an error) or did not answer in time
        unavailable, // no Secret Service at all: no bus, nobody owns or can start the name
    };
    struct Result {
        Outcome outcome = Outcome::done;
        Bytes data;         // lookup's item data when done
        int32_t status = 0; // nonzero when refused or unavailable (the GError code, or -1)
        std::string detail; // the service's message, for the log
    };

    static constexpr std::chrono::milliseconds kCallTimeout{5000};
    static constexpr std::chrono::milliseconds kPromptTimeout{120000};

    LibsecretStore();
    ~LibsecretStore();
    LibsecretStore(const LibsecretStore&) = delete;
    LibsecretStore& operator=(const LibsecretStore&) = delete;

    // The first matching item that can be read. When all are locked, `mayPrompt`
    // lets the service ask to unlock them; without it, or when they stay locked,
    // the lookup is refused.
    Result lookup(const SecretItemId& id, bool mayPrompt);
    // Into the default collection (the login keyring).
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
