// Collects values from any thread and lets the test wait for them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace sorvane::testing {

template <typename T> class Recorder {
public:
    void add(T value) {
        {
            std::lock_guard lock(m_mutex);
            m_items.push_back(std::move(value));
        }
        m_cv.notify_all();
    }
    std::vector<T> items() const {
        std::lock_guard lock(m_mutex);
        return m_items;
    }
    size_t size() const {
        std::lock_guard lock(m_mutex);
        return m_items.size();
    }
    bool waitForSize(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [&] { return m_items.size() >= n; });
    }
    void clear() {
        std::lock_guard lock(m_mutex);
        m_items.clear();
    }

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    std::vector<T> m_items;
};

} // namespace sorvane::testing
