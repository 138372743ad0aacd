// Captures log lines for the lifetime of the object and restores the previous
// sink afterwards. Thread-safe: lines may arrive from any thread.
#pragma once

#include "base/Log.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace sorvane::testing {

class LogCapture {
public:
    LogCapture() : m_sink(std::make_shared<Sink>()) { m_previous = setLogSink(m_sink); }
    ~LogCapture() { setLogSink(m_previous); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard lock(m_sink->mutex);
        return m_sink->lines;
    }
    bool contains(std::string_view needle) const { return count(needle) > 0; }
    size_t count(std::string_view needle) const {
        std::lock_guard lock(m_sink->mutex);
        size_t n = 0;
        for (const auto& l : m_sink->lines)
            if (l.find(needle) != std::string::npos)
                ++n;
        return n;
    }
    // Waits until a line containing `needle` has been logged.
    bool waitFor(std::string_view needle,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        std::unique_lock lock(m_sink->mutex);
        return m_sink->cv.wait_for(lock, timeout, [&] {
            for (const auto& l : m_sink->lines)
                if (l.find(needle) != std::string::npos)
                    return true;
            return false;
        });
    }
    void clear() {
        std::lock_guard lock(m_sink->mutex);
        m_sink->lines.clear();
    }

private:
    struct Sink final : LogSink {
        void write(std::string_view line) override {
            {
                std::lock_guard lock(mutex);
                lines.emplace_back(line);
            }
            cv.notify_all();
        }
        mutable std::mutex mutex;
        std::condition_variable cv;
        std::vector<std::string> lines;
    };
    std::shared_ptr<Sink> m_sink;
    std::shared_ptr<LogSink> m_previous;
};

} // namespace sorvane::testing
