// BluezRegistration: one object of ours registered with one of the adapter's
// manager interfaces (GattManager1.RegisterApplication,
// LEAdvertisingManager1.RegisterAdvertisement), as an explicit state:
//
//   unregistered --start()--> registering --reply OK--> registered
//        ^                        |   \--reply error--> unregistered (logged)
//        +------ drop(), forget() +-------------------------------+
//
// start() sends Register<...>(object, {}) asynchronously (bluetoothd answers
// RegisterApplication only after reading our objects, so the event loop must run
// meanwhile). The reply moves the state on the queue and is then handed to the
// `done` callback given to start(); a reply to a registration that was dropped,
// forgotten or started again meanwhile is ignored. drop() sends Unregister<...>
// without waiting when bluetoothd has (or may have) the registration; forget()
// does not, for when bluetoothd has lost it already (it restarted, the adapter
// went, it released the object).
//
// Thread safety: used on the peripheral's queue; the reply arrives on the
// connection's event-loop thread and is posted to the queue.
#pragma once

#include "adapters/linux/bluez/BluezConnection.h"
#include "adapters/linux/bluez/BluezQueue.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace sorvane {

enum class RegistrationState {
    unregistered, // bluetoothd does not have it
    registering,  // Register<...> sent, no answer yet
    registered,   // bluetoothd accepted it
};

class BluezRegistration {
public:
    // `error` is "<D-Bus error name>: <message>", absent on success.
    using Done = std::function<void(const std::optional<std::string>& error)>;

    // `what` names the registration in the failure's log line
    // ("Sorvane BLE: <what> failed: <error>"); empty means the owner reports
    // failures itself.
    BluezRegistration(BluezConnection& connection, const BluezQueue& queue, const char* interface,
                      const char* registerMethod, const char* unregisterMethod, std::string what);
    BluezRegistration(const BluezRegistration&) = delete;
    BluezRegistration& operator=(const BluezRegistration&) = delete;

    RegistrationState state() const { return m_state; }

    // Registers `objectPath` with the adapter at `adapterPath`, replacing (and
    // dropping) any earlier registration. Returns the error message when the call
    // could not be sent; the state is then unregistered and `done` is not called.
    std::optional<std::string> start(const std::string& adapterPath, const std::string& objectPath,
                                     Done done);
    void drop();
    void forget();

private:
    void replied(uint64_t generation, const std::optional<std::string>& error);

    BluezConnection& m_connection;
    const BluezQueue& m_queue;
    const char* const m_interface;
    const char* const m_registerMethod;
    const char* const m_unregisterMethod;
    const std::string m_what;

    RegistrationState m_state = RegistrationState::unregistered;
    uint64_t m_generation = 0; // of the latest start(); replies carry theirs
    std::string m_adapterPath;
    std::string m_objectPath;
    Done m_done;
};

} // namespace sorvane
