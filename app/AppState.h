// The application model: identity, stores, the phone's session and the sync
// switches. One instance, owned by the delegate; main thread only.
#pragma once

#include "base/Bytes.h"
#include "protocol/SessionKey.h"
#include "store/History.h"
#include "store/KeyStore.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace sorvane {

struct AppState {
    AppState(std::optional<Identity> id, std::unique_ptr<KeyStore> store, std::unique_ptr<History> hist)
        : identity(std::move(id)), keyStore(std::move(store)), history(std::move(hist)) {}

    // Absent while the keyring has not given the signing key yet (sync waits;
    // the history works meanwhile). Set once, never changed afterwards.
    std::optional<Identity> identity;
    const std::unique_ptr<KeyStore> keyStore;
    const std::unique_ptr<History> history;

    std::optional<ActiveSession> session;
    bool autoPush = false;
    bool autoPaste = true;
    bool syncPaused = false;
    uint16_t frameCounter = 0;
    int64_t connectedCount = 0;
    std::optional<std::string> phoneName;

    // Both need the identity. The device-info record served to the phone;
    // `displayName` empty means "Mac".
    Bytes buildDeviceInfo(const std::string& displayName) const;
    // "Sorvane-" + the first 4 bytes of the device id as 8 lower-case hex digits.
    std::string advertisedLocalName() const;
};

} // namespace sorvane
