#include "adapters/linux/bluez/L2capListener.h"

#include "base/Log.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace sorvane {

L2capListener::L2capListener(UniqueFd listening, AcceptHandler onAccept)
    : m_listening(std::move(listening)), m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_onAccept(std::move(onAccept)) {
    if (!m_wake.valid())
        throw std::system_error(errno, std::generic_category(), "eventfd");
    m_thread = std::thread([this] { run(); });
}

L2capListener::~L2capListener() {
    const uint64_t one = 1;
    while (::write(m_wake.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    m_thread.join();
}

void L2capListener::run() {
    pthread_setname_np(pthread_self(), "L2CAP-listen");
    // Out of descriptors or memory: wait a moment instead of spinning on a socket
    // that stays readable.
    int backoffMs = -1;
    for (;;) {
        pollfd fds[2] = {{m_listening.get(), POLLIN, 0}, {m_wake.get(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, backoffMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            logLine(std::string("Sorvane L2CAP: listener stopped: poll: ") + std::strerror(errno));
            return;
        }
        if (fds[1].revents != 0)
            return;
        backoffMs = -1;
        if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) {
            logLine("Sorvane L2CAP: listener stopped: the listening socket failed");
            return;
        }
        if ((fds[0].revents & POLLIN) == 0)
            continue;

        UniqueFd connection(::accept4(m_listening.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (connection.valid()) {
            m_onAccept(std::move(connection));
            continue;
        }
        const int error = errno;
        switch (error) {
        case EAGAIN:
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
            break; // the connection went away before it was accepted
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            logLine(std::string("Sorvane L2CAP: accept failed: ") + std::strerror(error));
            backoffMs = 1000;
            break;
        default:
            logLine(std::string("Sorvane L2CAP: listener stopped: accept: ") + std::strerror(error));
            return;
        }
    }
}

} // namespace sorvane
