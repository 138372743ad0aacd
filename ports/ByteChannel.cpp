#include "ports/ByteChannel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sorvane {

ByteChannel::ByteChannel(UniqueFd socket, size_t sendMTU, size_t receiveMTU,
                         std::chrono::milliseconds sendStallTimeout)
    : m_socket(std::move(socket)), m_sendMTU(std::max<size_t>(sendMTU, 1)),
      m_receiveMTU(std::max<size_t>(receiveMTU, 1)), m_sdu(m_receiveMTU) {
    if (sendStallTimeout.count() > 0 && m_socket.valid()) {
        timeval tv{};
        tv.tv_sec = static_cast<time_t>(sendStallTimeout.count() / 1000);
        tv.tv_usec = static_cast<suseconds_t>((sendStallTimeout.count() % 1000) * 1000);
        ::setsockopt(m_socket.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
}

ByteChannel::~ByteChannel() = default;

bool ByteChannel::hasBytesAvailable() {
    if (m_sduPos < m_sduEnd)
        return true;
    pollfd p{m_socket.get(), POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    return r > 0 && (p.revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0;
}

ssize_t ByteChannel::read(uint8_t* buffer, size_t maxLength) {
    if (maxLength == 0)
        return 0;
    if (m_sduPos == m_sduEnd) {
        // One SDU per receive. A buffer of receiveMTU bytes holds any legal SDU;
        // MSG_TRUNC reports one that did not fit.
        iovec iov{m_sdu.data(), m_sdu.size()};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        ssize_t n;
        do {
            n = ::recvmsg(m_socket.get(), &msg, MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                m_inputStatus = Status::error;
            return -1;
        }
        if (msg.msg_flags & MSG_TRUNC) {
            m_inputStatus = Status::error;
            errno = EMSGSIZE;
            return -1;
        }
        if (n == 0) {
            // An empty SDU is not sent by either side; on a SEQPACKET socket a
            // zero-byte receive is the end of the stream.
            m_inputStatus = Status::atEnd;
            return 0;
        }
        m_sduPos = 0;
        m_sduEnd = static_cast<size_t>(n);
    }
    const size_t count = std::min(maxLength, m_sduEnd - m_sduPos);
    std::memcpy(buffer, m_sdu.data() + m_sduPos, count);
    m_sduPos += count;
    return static_cast<ssize_t>(count);
}

ssize_t ByteChannel::write(ByteView packet) {
    MutexLock lock(m_writeMutex);
    if (m_shutDown) {
        errno = EPIPE;
        return -1;
    }
    size_t sent = 0;
    while (sent < packet.size()) {
        const size_t length = std::min(m_sendMTU, packet.size() - sent);
        const ssize_t n = ::send(m_socket.get(), packet.data() + sent, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != static_cast<ssize_t>(length)) {
            // SEQPACKET sends whole SDUs or nothing; anything else is a failure.
            m_outputStatus = Status::error;
            return sent == 0 ? -1 : static_cast<ssize_t>(sent);
        }
        sent += length;
    }
    return static_cast<ssize_t>(sent);
}

void ByteChannel::shutdown() {
    if (m_shutDown.exchange(true))
        return;
    ::shutdown(m_socket.get(), SHUT_RDWR);
    Status expected = Status::open;
    m_inputStatus.compare_exchange_strong(expected, Status::closed);
    expected = Status::open;
    m_outputStatus.compare_exchange_strong(expected, Status::closed);
}

} // namespace sorvane
