// L2capListener: accepts connections on a listening socket on its own thread and
// hands each accepted socket to a handler.
//
// Thread safety: the handler runs on the listener's thread, one connection at a
// time. The destructor wakes and joins that thread (so no handler runs after it
// returns) and closes the listening socket; it must not run on the listener's
// thread. Accept failures are logged with the prefix "Sorvane L2CAP: "; a failure
// that cannot pass (a broken listening socket) ends the listener.
#pragma once

#include "base/UniqueFd.h"

#include <functional>
#include <thread>

namespace sorvane {

class L2capListener {
public:
    using AcceptHandler = std::function<void(UniqueFd connection)>;

    // `listening` must be a listening, non-blocking socket.
    L2capListener(UniqueFd listening, AcceptHandler onAccept);
    ~L2capListener();
    L2capListener(const L2capListener&) = delete;
    L2capListener& operator=(const L2capListener&) = delete;

private:
    void run();

    UniqueFd m_listening;
    UniqueFd m_wake; // eventfd written by the destructor
    AcceptHandler m_onAccept;
    std::thread m_thread;
};

} // namespace sorvane
