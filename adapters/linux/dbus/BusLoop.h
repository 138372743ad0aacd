// BusLoop: the event loop of one D-Bus connection on a thread of its own, as
// sdbus::IConnection::enterEventLoopAsync() runs it, except that a connection
// that breaks (the bus daemon gone or restarted) ends the loop with one log
// line. sdbus-c++ reports the break as an exception out of the loop, which on
// the library's own thread would end the whole program.
//
// Thread-safety: start() and stop() on one thread (the owner's); the
// connection's handlers run on the loop's thread, as with the library's loop.
#pragma once

#include <string>
#include <thread>

namespace sdbus {
class IConnection;
}

namespace sorvane {

class BusLoop {
public:
    BusLoop() = default;
    // Stops the loop.
    ~BusLoop();
    BusLoop(const BusLoop&) = delete;
    BusLoop& operator=(const BusLoop&) = delete;

    // Runs `connection`'s loop until stop(); `what` names the connection in
    // the log ("the session bus (the one instance)"). The connection must
    // outlive the loop.
    void start(sdbus::IConnection& connection, std::string what);
    // Leaves the loop and waits for its thread: no handler runs afterwards.
    // Idempotent; does nothing before start().
    void stop();

private:
    sdbus::IConnection* m_connection = nullptr;
    std::thread m_thread;
};

} // namespace sorvane
