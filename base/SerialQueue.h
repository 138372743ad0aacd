// A serial task queue: one dedicated, named thread runs the posted tasks one at
// a time, in posting order.
//
// Thread safety: async() and sync() may be called from any thread. sync() from
// the queue's own thread runs the task inline instead of deadlocking. stop() and
// the destructor must not be called from the queue's thread. A task that throws
// is logged and the queue goes on with the next one.
#pragma once

#include "base/ThreadSafety.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <string>
#include <thread>

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
    // Runs `task` on the queue and waits for it. Returns false, without running
    // it, once the queue has stopped.
    bool sync(const std::function<void()>& task) SORVANE_EXCLUDES(m_mutex);
    // True on the queue's own thread.
    bool isCurrent() const;
    // Runs the tasks already posted, ends the thread and waits for it; idempotent.
    void stop() SORVANE_EXCLUDES(m_mutex);

private:
    void run() SORVANE_EXCLUDES(m_mutex);

    const std::string m_name;
    Mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_tasks SORVANE_GUARDED_BY(m_mutex);
    bool m_stopping SORVANE_GUARDED_BY(m_mutex) = false;
    std::thread m_thread;
};

} // namespace sorvane
