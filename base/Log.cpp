#include "base/Log.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace sorvane {
namespace {

class StderrSink final : public LogSink {
public:
    void write(std::string_view line) override {
        std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    }
};

std::mutex g_mutex;
std::shared_ptr<LogSink>& currentSink() {
    static std::shared_ptr<LogSink> sink = std::make_shared<StderrSink>();
    return sink;
}

} // namespace

std::shared_ptr<LogSink> setLogSink(std::shared_ptr<LogSink> sink) {
    std::lock_guard lock(g_mutex);
    if (!sink)
        sink = std::make_shared<StderrSink>();
    return std::exchange(currentSink(), std::move(sink));
}

void logLine(std::string_view line) {
    // Serialise writes so lines from different threads never interleave.
    std::lock_guard lock(g_mutex);
    currentSink()->write(line);
}

} // namespace sorvane
