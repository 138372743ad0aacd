#include "adapters/qt/SignalBridge.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace sorvane {
namespace {

volatile sig_atomic_t g_writeFd = -1;

extern "C" void onSignal(int signo) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    if (g_writeFd >= 0) {
        // Nothing else is async-signal-safe enough to do here.
        [[maybe_unused]] ssize_t n = write(g_writeFd, &byte, 1);
    }
    errno = saved;
}

} // namespace

SignalBridge::SignalBridge(std::function<void(int)> onSignalFn) : m_onSignal(std::move(onSignalFn)) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("signal pipe could not be created");
    m_readEnd.reset(fds[0]);
    m_writeEnd.reset(fds[1]);
    g_writeFd = m_writeEnd.get();
    m_notifier = std::make_unique<QSocketNotifier>(m_readEnd.get(), QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { drain(); });

    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

SignalBridge::~SignalBridge() {
    struct sigaction sa = {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    g_writeFd = -1;
    m_notifier.reset();
}

void SignalBridge::drain() {
    unsigned char buf[16];
    ssize_t n;
    while ((n = read(m_readEnd.get(), buf, sizeof buf)) > 0)
        for (ssize_t i = 0; i < n; ++i)
            m_onSignal(buf[i]);
}

} // namespace sorvane
