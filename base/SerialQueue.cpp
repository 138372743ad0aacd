#include "base/SerialQueue.h"

#include "base/Log.h"

#include "base/Thread.h"

#include <algorithm>
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

void SerialQueue::asyncAfter(std::chrono::steady_clock::duration delay,
                             std::function<void()> task) {
    {
        MutexLock lock(m_mutex);
        if (m_stopping)
            return;
        Delayed entry{std::chrono::steady_clock::now() + delay, m_sequence++, std::move(task)};
        const auto at = std::upper_bound(
            m_delayed.begin(), m_delayed.end(), entry, [](const Delayed& a, const Delayed& b) {
                return a.due < b.due || (a.due == b.due && a.sequence < b.sequence);
            });
        m_delayed.insert(at, std::move(entry));
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
            // The analysis cannot see that `lock` holds m_mutex.
            [&]() SORVANE_NO_THREAD_SAFETY_ANALYSIS {
                for (;;) {
                    // Due delayed tasks join the queue in due order.
                    const auto now = std::chrono::steady_clock::now();
                    size_t due = 0;
                    while (!m_stopping && due < m_delayed.size() && m_delayed[due].due <= now)
                        m_tasks.push_back(std::move(m_delayed[due++].task));
                    m_delayed.erase(m_delayed.begin(),
                                    m_delayed.begin() + static_cast<std::ptrdiff_t>(due));
                    if (m_stopping)
                        m_delayed.clear();
                    if (!m_tasks.empty() || m_stopping)
                        break;
                    if (m_delayed.empty())
                        m_wake.wait(lock);
                    else
                        m_wake.wait_until(lock, m_delayed.front().due);
                }
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
