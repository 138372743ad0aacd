#include "adapters/linux/dbus/BusLoop.h"

#include "base/Log.h"

#include <sdbus-c++/Error.h>
#include <sdbus-c++/IConnection.h>

namespace sorvane {

BusLoop::~BusLoop() {
    stop();
}

void BusLoop::start(sdbus::IConnection& connection, std::string what) {
    if (m_thread.joinable())
        return;
    m_connection = &connection;
    m_thread = std::thread([&connection, what = std::move(what)] {
        try {
            connection.enterEventLoop();
        } catch (const sdbus::Error& e) {
            logLine("Sorvane: lost the connection to " + what + " (" + e.getMessage() +
                    ") \u2014 it is not heard from again until Sorvane restarts");
        }
    });
}

void BusLoop::stop() {
    if (!m_thread.joinable())
        return;
    // The loop may have ended by itself: the request to leave is then unread.
    try {
        m_connection->leaveEventLoop();
    } catch (const sdbus::Error&) {
    }
    m_thread.join();
    m_connection = nullptr;
}

} // namespace sorvane
