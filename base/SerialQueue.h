// A serial task queue: one dedicated, named thread runs the posted tasks one at
// a time, in posting order. Delayed tasks join the end of the queue once their
// delay has passed (those due together in posting order).
//
// Thread safety: async() and sync() may be called from any thread. sync() from
// the queue's own thread runs the task inline instead of deadlocking. stop() and
// the destructor must not be called from the queue's thread. A task that throws
// is logged and the queue goes on with the next one.
#pragma once

#include "base/ThreadSafety.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace sorvane {

class SerialQueue {
public:
    // `name` labels the thread (the kernel keeps its first 15 characters).
    explicit SerialQueue(std::string name);
    // Runs the tasks already posted, then ends the thread.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& name() const { return m_name; }

    // Queues `task`. After stop() the task is dropped.
    void async(std::function<void()> task) SORVANE_EXCLUDES(m_mutex);
    // Queues `task` once `delay` has passed. Dropped if the queue stops first.
    void asyncAfter(std::chrono::steady_clock::duration delay, std::function<void()> task)
        SORVANE_EXCLUDES(m_mutex);
    // Runs `task` on the queue and waits for it. Returns false, without running
    // it, once the queue has stopped.
    bool sync(const std::function<void()>& task) SORVANE_EXCLUDES(m_mutex);
    // True on the queue's own thread.
    bool isCurrent() const;
    // Runs the tasks already posted (not the delayed ones still waiting), ends
    // the thread and waits for it; idempotent.
    void stop() SORVANE_EXCLUDES(m_mutex);

private:
    void run() SORVANE_EXCLUDES(m_mutex);

    const std::string m_name;
    Mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_tasks SORVANE_GUARDED_BY(m_mutex);
    struct Delayed {
        std::chrono::steady_clock::time_point due;
        uint64_t sequence;
        std::function<void()> task;
    };
    std::vector<Delayed> m_delayed SORVANE_GUARDED_BY(m_mutex); // by due time, then sequence
    uint64_t m_sequence SORVANE_GUARDED_BY(m_mutex) = 0;
    bool m_stopping SORVANE_GUARDED_BY(m_mutex) = false;
    std::thread m_thread;
};

} // namespace sorvane
