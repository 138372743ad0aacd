// Turns SIGINT and SIGTERM into a call on the main thread.
//
// The signal handler only writes one byte to a non-blocking self-pipe; a
// QSocketNotifier on the read end calls `onSignal` from the event loop. Create
// and destroy on the main thread; at most one instance per process.
#pragma once

#include "base/UniqueFd.h"

#include <functional>
#include <memory>

class QSocketNotifier;

namespace sorvane {

class SignalBridge {
public:
    explicit SignalBridge(std::function<void(int signal)> onSignal);
    ~SignalBridge();
    SignalBridge(const SignalBridge&) = delete;
    SignalBridge& operator=(const SignalBridge&) = delete;

private:
    void drain();

    std::function<void(int)> m_onSignal;
    UniqueFd m_readEnd;
    UniqueFd m_writeEnd;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace sorvane
