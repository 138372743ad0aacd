// The pasteboard watcher on a private Xvfb: what it costs while nothing is
// copied (with a small and with a 20 MiB item on the clipboard), and how long
// an xclip copy takes to reach onChange. Prints its figures; plain main.
//
//   clipboard_bench [idle seconds, default 10] [copies, default 50]
#include "clipboard/SorvanePasteboardWatcher.h"
#include "testing/x-session/XSession.h"
#include "base/Log.h"
#include "adapters/linux/x11/X11Pasteboard.h"

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
};

std::unique_ptr<SorvanePasteboardWatcher> startWatcher(const std::string& display,
                                                       Reports& reports) {
    auto pasteboard = x11::X11Pasteboard::open(display.c_str());
    if (!pasteboard)
        return nullptr;
    auto watcher = std::make_unique<SorvanePasteboardWatcher>(std::move(pasteboard));
    watcher->setOnChange([&reports](const std::string&, const std::string&) {
        const auto now = Clock::now();
        std::lock_guard lock(reports.mutex);
        ++reports.count;
        reports.last = now;
        reports.cv.notify_all();
    });
    watcher->start();
    return watcher;
}

// CPU used by this process (the watcher's threads; nothing else runs) over
// `seconds` of idling, as a percentage of one core.
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
    const int copies = argc > 2 ? std::atoi(argv[2]) : 50;
    setLogSink(std::make_shared<NullSink>());

    testing::XSession session(testing::XSession::Options{false, true});
    if (!session.running()) {
        std::fprintf(stderr, "clipboard_bench: %s\n", session.error().c_str());
        return 1;
    }
    const std::string& display = session.display();
    Reports reports;
    auto watcher = startWatcher(display, reports);
    if (!watcher || !testing::xclipCopy(display, "small item")) {
        std::fprintf(stderr, "clipboard_bench: cannot use the clipboard on %s\n", display.c_str());
        return 1;
    }
    std::printf("Watcher on Xvfb %s, poll period %lld ms\n", display.c_str(),
                static_cast<long long>(SorvanePasteboardWatcher::kPollPeriod.count()));

    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // let the copy be handled
    std::printf("idle, small item on the clipboard:  %.3f %% of one core over %.1f s\n",
                idleCost(idleSeconds), idleSeconds);
    std::string big(20u << 20, 'x');
    if (!testing::xclipCopy(display, big)) {
        std::fprintf(stderr, "clipboard_bench: 20 MiB copy failed\n");
        return 1;
    }
    {
        std::unique_lock lock(reports.mutex);
        reports.cv.wait_for(lock, std::chrono::seconds(30), [&] { return reports.count >= 2; });
    }
    std::printf("idle, 20 MiB item on the clipboard: %.3f %% of one core over %.1f s\n",
                idleCost(idleSeconds), idleSeconds);

    // Latency: from starting xclip to onChange, at random phases of the poll.
    std::mt19937 random(42);
    std::uniform_int_distribution<int> jitter(0, 200);
    std::vector<double> latencies;
    for (int i = 0; i < copies; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(jitter(random)));
        size_t before;
        {
            std::lock_guard lock(reports.mutex);
            before = reports.count;
        }
        const auto t0 = Clock::now();
        if (!testing::xclipCopy(display, "latency probe " + std::to_string(i))) {
            std::fprintf(stderr, "clipboard_bench: xclip failed\n");
            return 1;
        }
        std::unique_lock lock(reports.mutex);
        if (!reports.cv.wait_for(lock, std::chrono::seconds(5),
                                 [&] { return reports.count > before; })) {
            std::fprintf(stderr, "clipboard_bench: copy %d was not reported\n", i);
            return 1;
        }
        latencies.push_back(std::chrono::duration<double, std::milli>(reports.last - t0).count());
    }
    std::printf(
        "latency xclip start -> onChange over %d copies: p50 %.1f ms, p95 %.1f ms, max %.1f ms\n",
        copies, percentile(latencies, 0.50), percentile(latencies, 0.95),
        *std::max_element(latencies.begin(), latencies.end()));
    watcher->stop();
    return 0;
}
