#include "platform/sim/ManualMainQueue.h"

namespace sorvane::sim {

ManualMainQueue::ManualMainQueue() : m_mainThread(std::this_thread::get_id()) {}

void ManualMainQueue::post(std::function<void()> task) {
    {
        MutexLock lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    m_posted.notify_all();
}

bool ManualMainQueue::isMainThread() const {
    return std::this_thread::get_id() == m_mainThread;
}

std::function<void()> ManualMainQueue::take() {
    MutexLock lock(m_mutex);
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
    {
        std::unique_lock lock(m_mutex.native());
        const bool any = m_posted.wait_for(
            lock, timeout, [this]() SORVANE_NO_THREAD_SAFETY_ANALYSIS { return !m_tasks.empty(); });
        if (!any)
            return false;
    }
    if (auto task = take()) {
        task();
        return true;
    }
    return false;
}

size_t ManualMainQueue::pending() const {
    MutexLock lock(m_mutex);
    return m_tasks.size();
}

} // namespace sorvane::sim
