// The peripheral's open L2CAP channel: holds at most one ByteChannel, runs its
// input on a dedicated thread named "L2CAP-streams", cuts the incoming byte
// stream into length-prefixed frames and writes outgoing frames whole.
//
// Every failure gives the channel up (teardown): the phone may open it again, and
// the application falls back to GATT meanwhile.
//
// Thread safety: every method may be called from any thread (in practice the
// peripheral's queue opens channels, the stream thread reads, the main thread
// sends). One mutex guards the held channel, its thread and the read buffer;
// teardown is idempotent, and a teardown never closes a descriptor that another
// thread is still using: the descriptor is only shut down, and closed once the
// last user lets go of it. The data handler is called on the stream thread,
// without the lock held; it may call send() and teardown() but must not destroy
// this object. The destructor waits for every stream thread to end and must not
// run on one of them.
#pragma once

#include "ports/ByteChannel.h"
#include "ble/L2CAPFraming.h"
#include "base/ThreadSafety.h"

#include <functional>
#include <memory>
#include <vector>

namespace sorvane {

class L2CAPStreams {
public:
    using DataHandler = std::function<void(Bytes frame)>;

    enum class SendResult {
        sent,      // the whole packet was written
        noChannel, // nothing to write to; nothing logged, nothing torn down
        tooLong,   // the frame does not fit the length prefix; logged, channel kept
        failed,    // error or short write; logged and the channel torn down
    };

    explicit L2CAPStreams(size_t maxFrameLength = kL2CAPMaxFrameLength);
    ~L2CAPStreams();
    L2CAPStreams(const L2CAPStreams&) = delete;
    L2CAPStreams& operator=(const L2CAPStreams&) = delete;

    // Receives each complete inbound frame.
    void setOnData(DataHandler handler) SORVANE_EXCLUDES(m_mutex);

    // Takes a freshly opened channel: a channel already held is torn down first
    // (the newest channel wins), then the stream thread is started.
    void open(std::shared_ptr<ByteChannel> channel) SORVANE_EXCLUDES(m_mutex);

    // Writes the length prefix and `frame` with one write of the channel. A write
    // that fails on a channel which someone else dropped meanwhile counts as
    // noChannel.
    SendResult send(ByteView frame) SORVANE_EXCLUDES(m_mutex);

    // Drops the held channel and empties the read buffer. Harmless with nothing open.
    void teardown() SORVANE_EXCLUDES(m_mutex);

    bool isOpen() const SORVANE_EXCLUDES(m_mutex);

private:
    struct Session;

    void streamLoop(Session* session) SORVANE_EXCLUDES(m_mutex);
    void bytesAvailable(Session* session) SORVANE_EXCLUDES(m_mutex);
    void teardownSession(Session* session) SORVANE_EXCLUDES(m_mutex);
    void teardownLocked() SORVANE_REQUIRES(m_mutex);
    void joinFinishedThreads() SORVANE_EXCLUDES(m_mutex);

    const size_t m_maxFrameLength;
    mutable Mutex m_mutex;
    std::shared_ptr<Session> m_current SORVANE_GUARDED_BY(m_mutex);
    // Sessions given up whose thread has not been joined yet.
    std::vector<std::shared_ptr<Session>> m_retired SORVANE_GUARDED_BY(m_mutex);
    Bytes m_readBuffer SORVANE_GUARDED_BY(m_mutex);
    DataHandler m_onData SORVANE_GUARDED_BY(m_mutex);
};

} // namespace sorvane
