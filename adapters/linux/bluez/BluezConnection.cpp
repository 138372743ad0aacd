#include "adapters/linux/bluez/BluezConnection.h"

#include "base/Log.h"
#include "adapters/linux/bluez/BluezNames.h"

#include <algorithm>

namespace sorvane {

BluezConnection::BluezConnection() : m_connection(sdbus::createSystemBusConnection()) {}

BluezConnection::~BluezConnection() {
    stop();
    m_calls.clear();
    m_proxies.clear();
    m_busProxy.reset();
    m_matches.clear();
    m_connection.reset();
}

void BluezConnection::addMatch(const std::string& rule, sdbus::message_handler handler) {
    m_matches.push_back(m_connection->addMatch(rule, std::move(handler)));
}

void BluezConnection::start() { m_loop.start(*m_connection, "the system bus (BlueZ)"); }

void BluezConnection::stop() { m_loop.stop(); }

sdbus::IProxy& BluezConnection::busProxy() {
    if (!m_busProxy)
        m_busProxy = sdbus::createProxy(*m_connection, bluez::kBusService, bluez::kBusPath);
    return *m_busProxy;
}

sdbus::IProxy& BluezConnection::proxyFor(const std::string& path) {
    auto& proxy = m_proxies[path];
    if (!proxy)
        proxy = sdbus::createProxy(*m_connection, bluez::kService, path);
    return *proxy;
}

void BluezConnection::keep(sdbus::PendingAsyncCall call) {
    // A handful per bluetoothd (re)start; finished ones are dropped here.
    m_calls.erase(std::remove_if(m_calls.begin(), m_calls.end(),
                                 [](const sdbus::PendingAsyncCall& c) { return !c.isPending(); }),
                  m_calls.end());
    m_calls.push_back(std::move(call));
}

void BluezConnection::callWithoutReply(const std::string& path, const char* interface,
                                       const char* method, const std::string& objectPath) {
    if (path.empty())
        return;
    try {
        proxyFor(path).callMethod(method).onInterface(interface).withArguments(
            sdbus::ObjectPath(objectPath)).dontExpectReply();
    } catch (const sdbus::Error& e) {
        logLine(std::string("Sorvane BLE: ") + method + " failed: " + e.getMessage());
    }
}

} // namespace sorvane
