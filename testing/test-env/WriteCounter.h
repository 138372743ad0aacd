#pragma once

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace sorvane::testing {

// Counts the files renamed into place as `name` in `dir`: one per finished write.
class WriteCounter {
public:
    WriteCounter(const std::filesystem::path& dir, std::string name) : m_name(std::move(name)) {
        m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        EXPECT_GE(m_fd, 0);
        EXPECT_GE(::inotify_add_watch(m_fd, dir.c_str(), IN_MOVED_TO), 0);
    }
    ~WriteCounter() { ::close(m_fd); }
    WriteCounter(const WriteCounter&) = delete;
    WriteCounter& operator=(const WriteCounter&) = delete;

    // The writes seen so far (call once the writes are flushed).
    int count() {
        alignas(inotify_event) char buffer[64 * 1024];
        for (;;) {
            ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len > 0 && m_name == event->name)
                    ++m_count;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return m_count;
    }

private:
    int m_fd = -1;
    std::string m_name;
    int m_count = 0;
};

} // namespace sorvane::testing
