#include "base/WakeupFd.h"

#include <fcntl.h>
#include <unistd.h>

namespace sorvane {
namespace {

bool makeNonBlockingCloseOnExec(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
           ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

} // namespace

WakeupFd::WakeupFd() {
    int fds[2];
    if (::pipe(fds) != 0)
        return;
    m_read.reset(fds[0]);
    m_write.reset(fds[1]);
    if (!makeNonBlockingCloseOnExec(fds[0]) || !makeNonBlockingCloseOnExec(fds[1])) {
        m_read.reset();
        m_write.reset();
    }
}

void WakeupFd::notify() const {
    const char one = 1;
    // A full pipe is already readable: the byte that did not fit is not needed.
    [[maybe_unused]] ssize_t n = ::write(m_write.get(), &one, 1);
}

void WakeupFd::drain() const {
    char buf[64];
    while (::read(m_read.get(), buf, sizeof buf) > 0) {
    }
}

} // namespace sorvane
