// The pasteboard watcher on WaylandPasteboard under a private sway headless:
// what it costs while nothing is copied (with a small and with a 20 MiB item on
// the clipboard), and how long a wl-copy takes to reach onChange against the
// 200 ms poll period. Prints its figures; plain main.
//
//   wayland_clipboard_bench [idle seconds, default 10] [copies, default 40]
#include "adapters/linux/wayland/WaylandPasteboard.h"
#include "base/Log.h"
#include "clipboard/SorvanePasteboardWatcher.h"
#include "testing/wayland-session/WaylandSession.h"

#include <sys/resource.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace sorvane;
using Clock = std::chrono::steady_clock;

class NullSink final : public LogSink {
public:
    void write(std::string_view) override {}
};

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Reports {
    std::mutex mutex;
    std::condition_variable cv;
    size_t count = 0;
    Clock::time_point last;

    size_t current() {
        std::lock_guard lock(mutex);
        return count;
    }
    bool waitBeyond(size_t n, std::chrono::seconds timeout) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, timeout, [&] { return count > n; });
    }
};

// CPU used by this process (the watcher's and the dispatch thread; the
// compositor and wl-copy are other processes) over `seconds` of idling, as a
// percentage of one core.
double idleCost(double seconds) {
    const double cpu0 = processCpuSeconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpu = processCpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    return 100.0 * cpu / wall;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

} // namespace

int main(int argc, char** argv) {
    const double idleSeconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int copies = argc > 2 ? std::atoi(argv[2]) : 40;
    setLogSink(std::make_shared<NullSink>());

    testing::WaylandSession session;
    if (!session.running()) {
        std::fprintf(stderr, "wayland_clipboard_bench: %s\n", session.error().c_str());
        return 1;
    }
    auto pasteboard = wayland::WaylandPasteboard::open(session.display().c_str());
    if (!pasteboard) {
        std::fprintf(stderr, "wayland_clipboard_bench: no data-control on %s\n",
                     session.display().c_str());
        return 1;
    }
    const std::string protocol = pasteboard->protocolName();
    Reports reports;
    SorvanePasteboardWatcher watcher(std::move(pasteboard));
    watcher.setOnChange([&reports](const std::string&, const std::string&) {
        const auto now = Clock::now();
        std::lock_guard lock(reports.mutex);
        ++reports.count;
        reports.last = now;
        reports.cv.notify_all();
    });
    watcher.start();
    if (!testing::wlCopy(session, "small item") || !reports.waitBeyond(0, std::chrono::seconds(10))) {
        std::fprintf(stderr, "wayland_clipboard_bench: the first copy was not reported\n");
        return 1;
    }
    std::printf("Watcher on sway headless (%s), poll period %lld ms\n", protocol.c_str(),
                static_cast<long long>(SorvanePasteboardWatcher::kPollPeriod.count()));
    std::printf("idle, small item on the clipboard:  %.3f %% of one core over %.1f s\n",
                idleCost(idleSeconds), idleSeconds);

    const size_t beforeBig = reports.current();
    if (!testing::wlCopy(session, std::string(20u << 20, 'x')) ||
        !reports.waitBeyond(beforeBig, std::chrono::seconds(60))) {
        std::fprintf(stderr, "wayland_clipboard_bench: the 20 MiB copy was not reported\n");
        return 1;
    }
    std::printf("idle, 20 MiB item on the clipboard: %.3f %% of one core over %.1f s\n",
                idleCost(idleSeconds), idleSeconds);

    // Latency: from starting wl-copy to onChange, at random phases of the poll.
    std::mt19937 random(42);
    std::uniform_int_distribution<int> jitter(0, 200);
    std::vector<double> latencies;
    for (int i = 0; i < copies; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(jitter(random)));
        const size_t before = reports.current();
        const auto t0 = Clock::now();
        if (!testing::wlCopy(session, "latency probe " + std::to_string(i))) {
            std::fprintf(stderr, "wayland_clipboard_bench: wl-copy failed\n");
            return 1;
        }
        if (!reports.waitBeyond(before, std::chrono::seconds(5))) {
            std::fprintf(stderr, "wayland_clipboard_bench: copy %d was not reported\n", i);
            return 1;
        }
        std::lock_guard lock(reports.mutex);
        latencies.push_back(std::chrono::duration<double, std::milli>(reports.last - t0).count());
    }
    const double p95 = percentile(latencies, 0.95);
    const double target = double(SorvanePasteboardWatcher::kPollPeriod.count()) + 60.0;
    std::printf("latency wl-copy start -> onChange over %d copies: p50 %.1f ms, p95 %.1f ms, "
                "max %.1f ms (target p95 < %.0f ms: %s)\n",
                copies, percentile(latencies, 0.50), p95,
                *std::max_element(latencies.begin(), latencies.end()), target,
                p95 < target ? "met" : "missed");
    watcher.stop();
    return 0;
}
