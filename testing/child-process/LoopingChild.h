// A forked child that works step by step and reports each finished step, for
// tests that kill a writer at a random moment and check what it left behind.
#pragma once

#include "testing/child-process/ChildProcess.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace sorvane::testing {

// A child that loops over `step(k)` for k = first, first+1, ... and reports k on
// a line after each step returns.
class LoopingChild {
public:
    LoopingChild(uint64_t first, const std::function<void(uint64_t)>& step)
        : m_child([&](int fd) {
              for (uint64_t k = first;; ++k) {
                  step(k);
                  if (!writeAll(fd, std::to_string(k) + "\n"))
                      return 2;
              }
          }) {}

    // Waits until the child has reported `count` more steps; false on timeout.
    bool awaitSteps(int count) {
        for (; count > 0; --count)
            if (!take(m_child.readLine(std::chrono::seconds(20))))
                return false;
        return true;
    }
    // SIGKILL, reap, and collect what it reported before it died.
    void killNow() {
        m_child.killAndWait();
        while (take(m_child.readLine(std::chrono::milliseconds(0)))) {
        }
    }
    // The last step the child finished and reported (0 for none).
    uint64_t lastReported() const { return m_last; }

private:
    bool take(const std::optional<std::string>& line) {
        if (line)
            m_last = std::stoull(*line);
        return line.has_value();
    }

    ChildProcess m_child;
    uint64_t m_last = 0;
};

} // namespace sorvane::testing
