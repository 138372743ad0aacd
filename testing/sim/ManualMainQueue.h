// A main queue run by hand, for tests and the simulated demo: posted tasks wait
// until the main thread (the thread that created the queue) runs them with
// runPending() or runOne(). Delayed tasks become runnable when their delay has
// passed on the steady clock.
//
// Thread safety: post() and pending() from any thread; runPending() and
// runOne() on the main thread only.
#pragma once

#include "base/ThreadSafety.h"
#include "ports/MainQueue.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <optional>
#include <thread>
#include <vector>

namespace sorvane::sim {

class ManualMainQueue final : public MainQueue {
public:
    ManualMainQueue();

    void post(std::function<void()> task) override SORVANE_EXCLUDES(m_mutex);
    void postDelayed(std::chrono::milliseconds delay, std::function<void()> task) override
        SORVANE_EXCLUDES(m_mutex);
    bool isMainThread() const override;

    // Runs tasks until none is runnable (including ones they post); returns how
    // many ran. Delayed tasks not yet due stay queued.
    size_t runPending() SORVANE_EXCLUDES(m_mutex);
    // Waits up to `timeout` for a runnable task and runs it. False when none came.
    bool runOne(std::chrono::milliseconds timeout) SORVANE_EXCLUDES(m_mutex);
    size_t pending() const SORVANE_EXCLUDES(m_mutex);

private:
    std::function<void()> take() SORVANE_EXCLUDES(m_mutex);
    // Moves due delayed tasks to the run queue; returns the next due time, if any.
    std::optional<std::chrono::steady_clock::time_point> promoteDue() SORVANE_REQUIRES(m_mutex);

    const std::thread::id m_mainThread;
    mutable Mutex m_mutex;
    std::condition_variable m_posted;
    std::deque<std::function<void()>> m_tasks SORVANE_GUARDED_BY(m_mutex);
    struct Delayed {
        std::chrono::steady_clock::time_point due;
        uint64_t sequence;
        std::function<void()> task;
    };
    // Ordered by due time, then posting order.
    std::vector<Delayed> m_delayed SORVANE_GUARDED_BY(m_mutex);
    uint64_t m_sequence SORVANE_GUARDED_BY(m_mutex) = 0;
};

} // namespace sorvane::sim
