// Throughput of the L2CAP stream path over a SOCK_SEQPACKET socket pair:
// receiving (SDUs -> 4096-byte reads -> frames) and sending (one packet cut
// into SDUs), at a small and a large MTU, and the frame cutter on its own.
#include "ports/ByteChannel.h"
#include "ble/L2CAPFraming.h"
#include "ble/L2CAPStreams.h"
#include "base/Log.h"

#include <benchmark/benchmark.h>

#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace sorvane;

namespace {

// Silences the log for its lifetime (the stream thread logs as it comes and goes).
class QuietLog {
public:
    QuietLog() : m_previous(setLogSink(std::make_shared<Sink>())) {}
    ~QuietLog() { setLogSink(m_previous); }

private:
    struct Sink final : LogSink {
        void write(std::string_view) override {}
    };
    std::shared_ptr<LogSink> m_previous;
};

std::pair<UniqueFd, UniqueFd> socketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
        std::abort();
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Frames of state.range(1) bytes sent by a peer at MTU state.range(0), received
// and cut by L2CAPStreams.
void BM_ReceiveFrames(benchmark::State& state) {
    QuietLog quiet;
    const size_t mtu = static_cast<size_t>(state.range(0));
    const size_t frameSize = static_cast<size_t>(state.range(1));
    constexpr size_t kFrames = 64;

    std::mutex mutex;
    std::condition_variable cv;
    size_t delivered = 0;
    L2CAPStreams streams;
    streams.setOnData([&](Bytes) {
        std::lock_guard lock(mutex);
        ++delivered;
        cv.notify_all();
    });
    auto [desktop, phone] = socketPair();
    streams.open(std::make_shared<ByteChannel>(std::move(desktop), mtu, mtu));
    ByteChannel peer(std::move(phone), mtu, mtu);
    const Bytes packet = *buildL2CAPPacket(Bytes(frameSize, 0x5a));

    for (auto _ : state) {
        {
            std::lock_guard lock(mutex);
            delivered = 0;
        }
        std::thread writer([&] {
            for (size_t i = 0; i < kFrames; ++i)
                peer.write(packet);
        });
        {
            std::unique_lock lock(mutex);
            cv.wait(lock, [&] { return delivered == kFrames; });
        }
        writer.join();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFrames * frameSize));
    streams.teardown();
}
BENCHMARK(BM_ReceiveFrames)
    ->Args({512, 200})
    ->Args({512, 64 << 10})
    ->Args({65535, 64 << 10})
    ->Args({65535, 1 << 20})
    ->UseRealTime();

// One packet written whole by ByteChannel::write at MTU state.range(0); a reader
// thread drains the other end.
void BM_WritePacket(benchmark::State& state) {
    const size_t mtu = static_cast<size_t>(state.range(0));
    const size_t frameSize = static_cast<size_t>(state.range(1));
    auto [desktop, phone] = socketPair();
    ByteChannel out(std::move(desktop), mtu, mtu);
    std::atomic<bool> stop{false};
    std::thread drain([&, fd = phone.get()] {
        std::vector<uint8_t> buf(70000);
        while (!stop)
            if (::recv(fd, buf.data(), buf.size(), 0) <= 0)
                return;
    });
    const Bytes packet = *buildL2CAPPacket(Bytes(frameSize, 0x33));
    for (auto _ : state)
        if (out.write(packet) != static_cast<ssize_t>(packet.size()))
            state.SkipWithError("short write");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * packet.size()));
    stop = true;
    out.shutdown();
    drain.join();
}
BENCHMARK(BM_WritePacket)->Args({512, 64 << 10})->Args({65535, 64 << 10})->Args({65535, 1 << 20});

// Cutting many small frames out of one 4096-byte read.
void BM_CutSmallFrames(benchmark::State& state) {
    Bytes stream;
    while (stream.size() + 36 <= kL2CAPReadSize) {
        const Bytes p = *buildL2CAPPacket(Bytes(32, 1));
        stream.insert(stream.end(), p.begin(), p.end());
    }
    for (auto _ : state) {
        Bytes buffer = stream;
        benchmark::DoNotOptimize(cutL2CAPFrames(buffer));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_CutSmallFrames);

} // namespace

BENCHMARK_MAIN();
