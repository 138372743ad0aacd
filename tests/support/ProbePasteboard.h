// A Pasteboard that passes everything to a real one and lets a test see where
// the watcher is: how many polls and filter-chain runs it has made, and hold it
// just before its next poll. Thread-safe: the watcher's thread calls the
// Pasteboard side, the test's thread the rest.
#pragma once

#include "ports/Pasteboard.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace sorvane::testing {

class ProbePasteboard final : public Pasteboard {
public:
    explicit ProbePasteboard(std::unique_ptr<Pasteboard> inner) : m_inner(std::move(inner)) {}

    int64_t changeCount() override {
        {
            std::unique_lock lock(m_mutex);
            m_waiting = true;
            m_cv.notify_all();
            m_cv.wait(lock, [&] { return !m_held; });
            m_waiting = false;
        }
        const int64_t count = m_inner->changeCount();
        std::lock_guard lock(m_mutex);
        ++m_polls;
        m_cv.notify_all();
        return count;
    }
    std::vector<std::string> types() override {
        {
            std::lock_guard lock(m_mutex);
            ++m_handled;
            m_pollsAtHandled = m_polls;
        }
        return m_inner->types();
    }
    std::optional<std::string> string() override { return m_inner->string(); }
    void writeString(const std::string& text) override { m_inner->writeString(text); }
    std::optional<std::string> frontmostApplicationID() override {
        return m_inner->frontmostApplicationID();
    }

    uint64_t polls() {
        std::lock_guard lock(m_mutex);
        return m_polls;
    }
    uint64_t handled() {
        std::lock_guard lock(m_mutex);
        return m_handled;
    }
    // Waits until the filter chain has run `n` times in all and the watcher
    // is polling again, i.e. the n-th change has been dealt with completely.
    bool waitHandled(uint64_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, timeout,
                             [&] { return m_handled >= n && m_polls > m_pollsAtHandled; });
    }
    bool waitPolls(uint64_t n) {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::seconds(10), [&] { return m_polls >= n; });
    }
    // Stops the watcher right before its next poll; returns once it waits there.
    bool hold() {
        std::unique_lock lock(m_mutex);
        m_held = true;
        return m_cv.wait_for(lock, std::chrono::seconds(10), [&] { return m_waiting; });
    }
    void release() {
        std::lock_guard lock(m_mutex);
        m_held = false;
        m_cv.notify_all();
    }

private:
    const std::unique_ptr<Pasteboard> m_inner;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    uint64_t m_polls = 0;
    uint64_t m_handled = 0;
    uint64_t m_pollsAtHandled = 0;
    bool m_held = false;
    bool m_waiting = false;
};

} // namespace sorvane::testing
