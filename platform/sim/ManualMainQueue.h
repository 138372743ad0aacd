// A main queue run by hand, for tests and the simulated demo: posted tasks wait
// until the main thread (the thread that created the queue) runs them with
// runPending() or runOne().
//
// Thread safety: post() and pending() from any thread; runPending() and
// runOne() on the main thread only.
#pragma once

#include "ble/ThreadSafety.h"
#include "platform/MainQueue.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>

namespace sorvane::sim {

class ManualMainQueue final : public MainQueue {
public:
    ManualMainQueue();

    void post(std::function<void()> task) override SORVANE_EXCLUDES(m_mutex);
    bool isMainThread() const override;

    // Runs tasks until none is queued (including ones they post); returns how many ran.
    size_t runPending() SORVANE_EXCLUDES(m_mutex);
    // Waits up to `timeout` for a task and runs it. False when none came.
    bool runOne(std::chrono::milliseconds timeout) SORVANE_EXCLUDES(m_mutex);
    size_t pending() const SORVANE_EXCLUDES(m_mutex);

private:
    std::function<void()> take() SORVANE_EXCLUDES(m_mutex);

    const std::thread::id m_mainThread;
    mutable Mutex m_mutex;
    std::condition_variable m_posted;
    std::deque<std::function<void()>> m_tasks SORVANE_GUARDED_BY(m_mutex);
};

} // namespace sorvane::sim
