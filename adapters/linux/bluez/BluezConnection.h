// BluezConnection: the BlueZ backend's own connection to the system bus (sd-bus
// honours DBUS_SYSTEM_BUS_ADDRESS), its signal matches, its proxies of
// bluetoothd's objects and the handles of its asynchronous calls.
//
// Thread safety: the connection's event loop runs on its own thread between
// start() and stop(); the match handlers and the reply callbacks run there.
// Everything else is called on the peripheral's queue. Destruction releases, in
// order, the call handles, the proxies, the matches and the connection: stop()
// first, and destroy every object exported on the connection before it.
#pragma once

#include "adapters/linux/dbus/BusLoop.h"

#include <sdbus-c++/sdbus-c++.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sorvane {

class BluezConnection {
public:
    // Throws sdbus::Error when the system bus cannot be reached.
    BluezConnection();
    ~BluezConnection();
    BluezConnection(const BluezConnection&) = delete;
    BluezConnection& operator=(const BluezConnection&) = delete;

    sdbus::IConnection& bus() { return *m_connection; }
    // Throws sdbus::Error when the bus refuses the rule.
    void addMatch(const std::string& rule, sdbus::message_handler handler);
    // Throws sdbus::Error when the loop cannot be started.
    void start();
    // Stops the event loop and waits for it: no handler or reply callback runs
    // afterwards. Idempotent.
    void stop();

    // The bus daemon itself.
    sdbus::IProxy& busProxy();
    // bluetoothd's object at `path`. Kept until the connection goes: destroying a
    // proxy would cancel its calls.
    sdbus::IProxy& proxyFor(const std::string& path);
    // Holds an asynchronous call's handle while it is pending, so that its record
    // is released here (or after the event loop stopped), never concurrently with
    // the event-loop thread finishing it.
    void keep(sdbus::PendingAsyncCall call);
    // Calls `method(objectPath)` on `interface` of bluetoothd's object at `path`
    // without waiting for the answer; failures are logged. Nothing is sent when
    // `path` is empty.
    void callWithoutReply(const std::string& path, const char* interface, const char* method,
                          const std::string& objectPath);

private:
    std::unique_ptr<sdbus::IConnection> m_connection;
    std::vector<sdbus::Slot> m_matches;
    std::unique_ptr<sdbus::IProxy> m_busProxy;
    std::map<std::string, std::unique_ptr<sdbus::IProxy>> m_proxies;
    std::vector<sdbus::PendingAsyncCall> m_calls;
    BusLoop m_loop;
};

} // namespace sorvane
