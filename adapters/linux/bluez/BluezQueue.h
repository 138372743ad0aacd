// BluezQueue: how the parts of the BlueZ backend reach the peripheral's queue.
// post() runs a task there; deliver() runs a delegate callback there. Either does
// nothing once close() has been called, even if it was posted before.
//
// Thread safety: post() and deliver() may be called from any thread (the D-Bus
// event loop, the L2CAP listener). close() is called on the queue, where the
// posted tasks run, so it cannot race with one of them.
#pragma once

#include "base/Liveness.h"
#include "ports/PeripheralBackend.h"

#include <functional>
#include <memory>

namespace sorvane {

class BluezQueue {
public:
    BluezQueue(PeripheralManagerDelegate& delegate, TaskPoster post)
        : m_delegate(delegate), m_post(std::move(post)) {}
    BluezQueue(const BluezQueue&) = delete;
    BluezQueue& operator=(const BluezQueue&) = delete;

    void post(std::function<void()> task) const {
        m_post([alive = m_liveness.watch(), task = std::move(task)] {
            if (alive)
                task();
        });
    }
    // The callback may destroy the manager; it must touch nothing of it.
    void deliver(std::function<void(PeripheralManagerDelegate&)> callback) const {
        m_post([alive = m_liveness.watch(), delegate = &m_delegate, callback = std::move(callback)] {
            if (alive)
                callback(*delegate);
        });
    }
    void close() { m_liveness.end(); }

private:
    PeripheralManagerDelegate& m_delegate;
    const TaskPoster m_post;
    Liveness m_liveness;
};

} // namespace sorvane
