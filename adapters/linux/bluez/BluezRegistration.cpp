#include "adapters/linux/bluez/BluezRegistration.h"

#include "base/Log.h"
#include "adapters/linux/bluez/BluezNames.h"

namespace sorvane {

BluezRegistration::BluezRegistration(BluezConnection& connection, const BluezQueue& queue,
                                     const char* interface, const char* registerMethod,
                                     const char* unregisterMethod, std::string what)
    : m_connection(connection), m_queue(queue), m_interface(interface),
      m_registerMethod(registerMethod), m_unregisterMethod(unregisterMethod), m_what(std::move(what)) {}

std::optional<std::string> BluezRegistration::start(const std::string& adapterPath,
                                                    const std::string& objectPath, Done done) {
    drop();
    const uint64_t generation = ++m_generation;
    try {
        m_connection.keep(m_connection.proxyFor(adapterPath)
            .callMethodAsync(m_registerMethod)
            .onInterface(m_interface)
            .withArguments(sdbus::ObjectPath(objectPath), bluez::Options{})
            .uponReplyInvoke([this, generation](const sdbus::Error* error) {
                // On the event-loop thread: keep nothing of the D-Bus error.
                std::optional<std::string> failure;
                if (error)
                    failure = error->getName() + ": " + error->getMessage();
                m_queue.post([this, generation, failure] { replied(generation, failure); });
            }));
    } catch (const sdbus::Error& e) {
        return e.getMessage();
    }
    m_state = RegistrationState::registering;
    m_adapterPath = adapterPath;
    m_objectPath = objectPath;
    m_done = std::move(done);
    return std::nullopt;
}

void BluezRegistration::replied(uint64_t generation, const std::optional<std::string>& error) {
    if (generation != m_generation || m_state != RegistrationState::registering)
        return; // dropped, forgotten or started again meanwhile
    if (error) {
        m_state = RegistrationState::unregistered;
        if (!m_what.empty())
            logLine("Sorvane BLE: " + m_what + " failed: " + *error);
    } else {
        m_state = RegistrationState::registered;
    }
    // `done` may start or drop this registration again.
    const Done done = m_done;
    if (done)
        done(error);
}

void BluezRegistration::drop() {
    if (m_state != RegistrationState::unregistered)
        m_connection.callWithoutReply(m_adapterPath, m_interface, m_unregisterMethod, m_objectPath);
    forget();
}

void BluezRegistration::forget() {
    m_state = RegistrationState::unregistered;
    ++m_generation; // a reply still on its way is stale now
    m_adapterPath.clear();
    m_objectPath.clear();
    m_done = nullptr;
}

} // namespace sorvane
