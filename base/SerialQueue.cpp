#include "base/SerialQueue.h"

#include "base/Log.h"

#include "base/Thread.h"

#include <exception>
#include <future>

namespace sorvane {

SerialQueue::SerialQueue(std::string name) : m_name(std::move(name)), m_thread([this] { run(); }) {}

SerialQueue::~SerialQueue() {
    stop();
}

void SerialQueue::async(std::function<void()> task) {
    {
        MutexLock lock(m_mutex);
        if (m_stopping)
            return;
        m_tasks.push_back(std::move(task));
    }
    m_wake.notify_one();
}

bool SerialQueue::sync(const std::function<void()>& task) {
    if (isCurrent()) {
        task();
        return true;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    {
        MutexLock lock(m_mutex);
        if (m_stopping)
            return false;
        m_tasks.push_back([&task, &done] {
            // The waiting caller owns `task`; any exception goes back to it.
            try {
                task();
                done.set_value();
            } catch (...) {
                done.set_exception(std::current_exception());
            }
        });
    }
    m_wake.notify_one();
    finished.get();
    return true;
}

bool SerialQueue::isCurrent() const {
    return std::this_thread::get_id() == m_thread.get_id();
}

void SerialQueue::stop() {
    {
        MutexLock lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void SerialQueue::run() {
    setCurrentThreadName(m_name);
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(m_mutex.native());
            m_wake.wait(lock, [this]() SORVANE_NO_THREAD_SAFETY_ANALYSIS {
                return m_stopping || !m_tasks.empty();
            });
            // The analysis cannot see that `lock` holds m_mutex.
            [&]() SORVANE_NO_THREAD_SAFETY_ANALYSIS {
                if (!m_tasks.empty()) {
                    task = std::move(m_tasks.front());
                    m_tasks.pop_front();
                }
            }();
        }
        if (!task)
            return; // stopping and drained
        try {
            task();
        } catch (const std::exception& e) {
            logLine(m_name + ": task failed: " + e.what());
        } catch (...) {
            logLine(m_name + ": task failed");
        }
    }
}

} // namespace sorvane
