#include "support/DbusDaemon.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace sorvane::testing {

DbusDaemon::DbusDaemon() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    const pid_t pid = fork();
    if (pid == 0) {
        // The address arrives on fd 3 of the child.
        dup2(fds[1], 3);
        execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nosyslog",
               "--print-address=3", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return;
    }
    m_pid = pid;
    std::string address;
    char buf[256];
    pollfd p{fds[0], POLLIN, 0};
    while (address.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0) {
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        address.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (auto nl = address.find('\n'); nl != std::string::npos)
        m_address = address.substr(0, nl);
}

DbusDaemon::~DbusDaemon() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : m_name(name) {
    if (const char* old = std::getenv(name)) {
        m_had = true;
        m_old = old;
    }
    setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (m_had)
        setenv(m_name.c_str(), m_old.c_str(), 1);
    else
        unsetenv(m_name.c_str());
}

} // namespace sorvane::testing
