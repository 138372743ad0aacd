// A descriptor that poll() reports readable once notify() has been called: how a
// thread blocked in poll() on sockets is told to look at something else (stop,
// new work). A self-pipe, so it works on every POSIX system.
//
// Thread safety: notify() may be called from any thread, also from a signal
// handler; drain() and fd() belong to the polling thread.
#pragma once

#include "base/UniqueFd.h"

namespace sorvane {

class WakeupFd {
public:
    // Check valid() afterwards: creating the pipe can fail (errno says why).
    WakeupFd();

    bool valid() const { return m_read.valid() && m_write.valid(); }
    // The end to poll for POLLIN.
    int fd() const { return m_read.get(); }
    // Makes fd() readable until the next drain(). Never blocks.
    void notify() const;
    // Makes fd() not readable again.
    void drain() const;

private:
    UniqueFd m_read;
    UniqueFd m_write;
};

} // namespace sorvane
