#include "testing/sim/ManualMainQueue.h"

#include <algorithm>

namespace sorvane::sim {

ManualMainQueue::ManualMainQueue() : m_mainThread(std::this_thread::get_id()) {}

void ManualMainQueue::post(std::function<void()> task) {
    {
        MutexLock lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    m_posted.notify_all();
}

void ManualMainQueue::postDelayed(std::chrono::milliseconds delay, std::function<void()> task) {
    {
        MutexLock lock(m_mutex);
        Delayed d{std::chrono::steady_clock::now() + delay, m_sequence++, std::move(task)};
        auto at = std::upper_bound(m_delayed.begin(), m_delayed.end(), d, [](const Delayed& a, const Delayed& b) {
            return a.due < b.due || (a.due == b.due && a.sequence < b.sequence);
        });
        m_delayed.insert(at, std::move(d));
    }
    m_posted.notify_all();
}

bool ManualMainQueue::isMainThread() const {
    return std::this_thread::get_id() == m_mainThread;
}

std::optional<std::chrono::steady_clock::time_point> ManualMainQueue::promoteDue() {
    const auto now = std::chrono::steady_clock::now();
    size_t n = 0;
    while (n < m_delayed.size() && m_delayed[n].due <= now)
        m_tasks.push_back(std::move(m_delayed[n++].task));
    m_delayed.erase(m_delayed.begin(), m_delayed.begin() + static_cast<ptrdiff_t>(n));
    if (m_delayed.empty())
        return std::nullopt;
    return m_delayed.front().due;
}

std::function<void()> ManualMainQueue::take() {
    MutexLock lock(m_mutex);
    promoteDue();
    if (m_tasks.empty())
        return {};
    auto task = std::move(m_tasks.front());
    m_tasks.pop_front();
    return task;
}

size_t ManualMainQueue::runPending() {
    size_t ran = 0;
    while (auto task = take()) {
        task();
        ++ran;
    }
    return ran;
}

bool ManualMainQueue::runOne(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    {
        std::unique_lock lock(m_mutex.native());
        for (;;) {
            const auto nextDue = [this]() SORVANE_NO_THREAD_SAFETY_ANALYSIS { return promoteDue(); }();
            if ([this]() SORVANE_NO_THREAD_SAFETY_ANALYSIS { return !m_tasks.empty(); }())
                break;
            const auto wakeAt = nextDue ? std::min(*nextDue, deadline) : deadline;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            m_posted.wait_until(lock, wakeAt);
        }
    }
    if (auto task = take()) {
        task();
        return true;
    }
    return false;
}

size_t ManualMainQueue::pending() const {
    MutexLock lock(m_mutex);
    return m_tasks.size() + m_delayed.size();
}

} // namespace sorvane::sim
