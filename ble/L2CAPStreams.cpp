#include "ble/L2CAPStreams.h"

#include "base/Log.h"
#include "base/Thread.h"
#include "base/WakeupFd.h"

#include <poll.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

namespace sorvane {
namespace {

// Bytes taken from the socket before the frames read so far are cut out and
// handed on; keeps one wake-up from buffering without bound under a fast peer.
constexpr size_t kDrainBudget = 256u << 10;

std::string statusNumber(ByteChannel::Status status) {
    return std::to_string(static_cast<int>(status));
}

} // namespace

struct L2CAPStreams::Session {
    std::shared_ptr<ByteChannel> channel;
    WakeupFd wake; // cancels the stream thread's poll
    std::atomic<bool> cancelled{false};
    std::atomic<bool> finished{false};
    std::thread thread; // touched only under m_mutex or after leaving m_current/m_retired

    void cancel() {
        cancelled = true;
        channel->shutdown();
        wake.notify();
    }
};

L2CAPStreams::L2CAPStreams(size_t maxFrameLength) : m_maxFrameLength(maxFrameLength) {}

L2CAPStreams::~L2CAPStreams() {
    std::vector<std::shared_ptr<Session>> sessions;
    {
        MutexLock lock(m_mutex);
        teardownLocked();
        sessions.swap(m_retired);
    }
    for (auto& s : sessions)
        if (s->thread.joinable())
            s->thread.join();
}

void L2CAPStreams::setOnData(DataHandler handler) {
    MutexLock lock(m_mutex);
    m_onData = std::move(handler);
}

bool L2CAPStreams::isOpen() const {
    MutexLock lock(m_mutex);
    return m_current != nullptr;
}

void L2CAPStreams::open(std::shared_ptr<ByteChannel> channel) {
    joinFinishedThreads();
    auto session = std::make_shared<Session>();
    session->channel = std::move(channel);
    {
        MutexLock lock(m_mutex);
        if (m_current) {
            logLine("Sorvane L2CAP: replacing stale channel");
            teardownLocked();
        }
        if (!session->wake.valid()) {
            logLine(std::string("Sorvane L2CAP: open failed: ") + std::strerror(errno));
            session->channel->shutdown();
            return;
        }
        logLine("Sorvane L2CAP: channel opened");
        try {
            session->thread = std::thread([this, s = session.get()] { streamLoop(s); });
        } catch (const std::system_error& e) {
            logLine(std::string("Sorvane L2CAP: open failed: ") + e.what());
            session->channel->shutdown();
            return;
        }
        m_current = session;
    }
    logLine("Sorvane L2CAP: streams opened, out.status=" +
            statusNumber(session->channel->outputStatus()) +
            " in.status=" + statusNumber(session->channel->inputStatus()));
}

L2CAPStreams::SendResult L2CAPStreams::send(ByteView frame) {
    std::shared_ptr<ByteChannel> channel;
    {
        MutexLock lock(m_mutex);
        if (!m_current)
            return SendResult::noChannel;
        channel = m_current->channel;
    }
    auto packet = buildL2CAPPacket(frame);
    if (!packet) {
        logLine("Sorvane L2CAP: frame of " + std::to_string(frame.size()) +
                " bytes is too long for the length prefix — not sent");
        return SendResult::tooLong;
    }
    // The lock is not held while writing: a write may wait for the peer, and the
    // stream thread must keep reading meanwhile. `channel` keeps the descriptor
    // open; a teardown elsewhere shuts it down, which ends the wait.
    const ssize_t written = channel->write(*packet);
    if (written == static_cast<ssize_t>(packet->size()))
        return SendResult::sent;

    MutexLock lock(m_mutex);
    if (!m_current || m_current->channel != channel)
        return SendResult::noChannel; // dropped by another thread; that is why it failed
    logLine("Sorvane L2CAP: write failed (" + std::to_string(written) + "/" +
            std::to_string(packet->size()) + ") — closing channel, falling back to GATT");
    teardownLocked();
    return SendResult::failed;
}

void L2CAPStreams::teardown() {
    MutexLock lock(m_mutex);
    teardownLocked();
}

void L2CAPStreams::teardownSession(Session* session) {
    MutexLock lock(m_mutex);
    if (m_current.get() == session)
        teardownLocked();
}

void L2CAPStreams::teardownLocked() {
    if (m_current) {
        m_current->cancel();
        m_retired.push_back(std::move(m_current));
        m_current.reset();
    }
    Bytes().swap(m_readBuffer);
}

void L2CAPStreams::joinFinishedThreads() {
    std::vector<std::shared_ptr<Session>> done;
    {
        MutexLock lock(m_mutex);
        std::erase_if(m_retired, [&](std::shared_ptr<Session>& s) {
            if (!s->finished || s->thread.get_id() == std::this_thread::get_id())
                return false;
            done.push_back(std::move(s));
            return true;
        });
    }
    for (auto& s : done)
        if (s->thread.joinable())
            s->thread.join();
}

void L2CAPStreams::streamLoop(Session* session) {
    setCurrentThreadName("L2CAP-streams");
    logLine("Sorvane L2CAP: streams opened on background thread");
    while (!session->cancelled) {
        pollfd fds[2] = {{session->channel->fd(), POLLIN, 0}, {session->wake.fd(), POLLIN, 0}};
        const int r = ::poll(fds, 2, -1);
        if (r < 0 && errno == EINTR)
            continue;
        if (session->cancelled)
            break;
        const short ev = r < 0 ? POLLERR : fds[0].revents;
        if ((ev & (POLLERR | POLLNVAL)) || ((ev & POLLHUP) && !(ev & POLLIN))) {
            logLine("Sorvane L2CAP: stream closed/error");
            teardownSession(session);
        } else if (ev & POLLIN) {
            bytesAvailable(session);
        }
    }
    logLine("Sorvane L2CAP: stream thread exited");
    session->finished = true;
}

void L2CAPStreams::bytesAvailable(Session* session) {
    std::vector<Bytes> frames;
    DataHandler handler;
    {
        MutexLock lock(m_mutex);
        if (m_current.get() != session)
            return; // given up meanwhile
        ByteChannel& channel = *session->channel;
        uint8_t chunk[kL2CAPReadSize];
        size_t drained = 0;
        while (drained < kDrainBudget && channel.hasBytesAvailable()) {
            const ssize_t n = channel.read(chunk, sizeof chunk);
            if (n <= 0) {
                logLine("Sorvane L2CAP: input read returned " + std::to_string(n) +
                        " — tearing down");
                teardownLocked();
                return;
            }
            m_readBuffer.insert(m_readBuffer.end(), chunk, chunk + n);
            drained += static_cast<size_t>(n);
        }
        L2CAPCut cut = cutL2CAPFrames(m_readBuffer, m_maxFrameLength);
        frames = std::move(cut.frames);
        if (cut.oversizedLength) {
            logLine("Sorvane L2CAP: frame length " + std::to_string(*cut.oversizedLength) +
                    " exceeds the limit of " + std::to_string(m_maxFrameLength) +
                    " bytes — tearing down");
            teardownLocked();
        }
        if (!frames.empty())
            handler = m_onData;
    }
    for (auto& frame : frames)
        if (handler)
            handler(std::move(frame));
}

} // namespace sorvane
