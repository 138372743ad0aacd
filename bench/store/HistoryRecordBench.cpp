// Times History::record (dedupe, insert, trim, snapshot; the file is written on
// the history's writer thread) against one plain write() + fsync() of the same
// bytes on the same file system, in the same run, and prints both with their
// ratio. Also prints what encoding the whole file costs with our serializer and
// with nlohmann's dump (and checks that the two agree byte for byte).
//
// Then the figures for the writer thread: the main thread's time per record with
// a full history of 200 x 100 KiB and 200 x 1 MiB while the writer keeps busy
// (target: under 1 ms), and the bytes written for a burst of 100 records against
// 100 records each waited for (as the blocking write did).
//
// First of all, while the heap is still fresh: the memory the history takes for
// its texts. 50 records of 1 MiB prose (every text needs escaping, so every
// write encodes all of them), each written before the next; the process RSS
// before and after, its growth over the bytes of text held (target: at most
// 1.2), and the peak RSS growth while the writes ran.
//
// Usage: store_bench [directory]   (default: a fresh directory under $TMPDIR or /tmp)
#include "protocol/PairingHandshake.h"
#include "store/AtomicFile.h"
#include "store/History.h"
#include "store/HistoryFile.h"

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Clipboard-like text. "mixed": words with tabs, quotes, backslashes and
// non-ASCII every few bytes (hard on an encoder); "prose": ASCII lines of about
// 70 characters with an occasional quote or accented letter.
std::string makeText(size_t bytes, bool mixed, std::mt19937_64& rng) {
    static const std::vector<std::string> dense = {
        "the ", "clipboard ",     "text ", "with ", "some ",       "words ",
        "and ", "numbers 12345 ", "\n",    "\t",    "\"quoted\" ", "back\\slash ",
        "é ",   "naïve ",         "中文 ", "🙂 "};
    static const std::vector<std::string> words = {
        "the ",   "clipboard ", "text ",    "with ",  "some ",    "words ", "and ", "numbers ",
        "12345 ", "between ",   "desktop ", "phone ", "history ", "entry ", "of ",  "a "};
    std::string out;
    out.reserve(bytes + 16);
    size_t lineStart = 0;
    while (out.size() < bytes) {
        if (mixed) {
            out += dense[rng() % dense.size()];
            continue;
        }
        out += words[rng() % words.size()];
        if (rng() % 97 == 0)
            out += "\"café\" ";
        if (out.size() - lineStart > 70) {
            out += "\n";
            lineStart = out.size();
        }
    }
    // Cut at a character boundary so the text stays valid UTF-8.
    size_t cut = bytes;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80)
        --cut;
    out.resize(cut);
    return out;
}

// What the file would cost through nlohmann: build the document, dump it.
std::string nlohmannDump(const sorvane::PersistShape& state) {
    nlohmann::json entries = nlohmann::json::array();
    for (const auto& e : state.entries)
        entries.push_back({{"direction", sorvane::directionName(e.direction)},
                           {"hash", e.hash},
                           {"id", e.id},
                           {"text", e.text},
                           {"timestamp", e.timestamp}});
    nlohmann::json document = {{"auto_apply_incoming", state.autoApplyIncoming},
                               {"entries", std::move(entries)},
                               {"max_entries", state.maxEntries},
                               {"page_size", state.pageSize}};
    return document.dump(4, ' ', false, nlohmann::json::error_handler_t::replace);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double maximum(const std::vector<double>& v) {
    return *std::max_element(v.begin(), v.end());
}

// The calling thread's CPU time: what the main thread spends, whatever else the
// (shared) machine is doing.
double threadCpuMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// This process's I/O counters: bytes handed to write() and bytes sent to storage.
struct IoCounters {
    uint64_t wchar = 0;
    uint64_t writeBytes = 0;
    uint64_t syscw = 0;
};

IoCounters ioCounters() {
    IoCounters io;
    FILE* f = std::fopen("/proc/self/io", "r");
    if (!f)
        return io;
    char key[64];
    unsigned long long value;
    while (std::fscanf(f, "%63[^:]: %llu\n", key, &value) == 2) {
        std::string k = key;
        if (k == "wchar")
            io.wchar = value;
        else if (k == "write_bytes")
            io.writeBytes = value;
        else if (k == "syscw")
            io.syscw = value;
    }
    std::fclose(f);
    return io;
}

double rawWriteFsync(const fs::path& path, const std::string& bytes) {
    auto start = Clock::now();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::perror("open");
        std::exit(1);
    }
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + off, bytes.size() - off);
        if (n <= 0) {
            std::perror("write");
            std::exit(1);
        }
        off += static_cast<size_t>(n);
    }
    ::fsync(fd);
    ::close(fd);
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// This process's resident and peak resident set (VmRSS, VmHWM) in bytes.
struct Resident {
    uint64_t now = 0;
    uint64_t peak = 0;
};

Resident resident() {
    Resident r;
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return r;
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
        unsigned long long kb = 0;
        if (std::sscanf(line, "VmRSS: %llu kB", &kb) == 1)
            r.now = kb * 1024;
        else if (std::sscanf(line, "VmHWM: %llu kB", &kb) == 1)
            r.peak = kb * 1024;
    }
    std::fclose(f);
    return r;
}

void runMemoryCase(const fs::path& dir) {
    constexpr int kRecords = 50;
    constexpr size_t kTextBytes = size_t{1} << 20;
    std::mt19937_64 rng(4242);
    fs::path historyPath = dir / "history.json";
    fs::remove(historyPath);
    // One buffer, changed in place before each record: the bench holds no text
    // of its own beyond it.
    std::string text = makeText(kTextBytes, false, rng);
    std::string hash;
    hash.reserve(64);
    sorvane::History history(historyPath);
    history.setMax(kRecords); // starts the writer thread
    history.flush();
    const Resident before = resident();
    for (int i = 0; i < kRecords; ++i) {
        std::snprintf(text.data(), 12, "%010d ", i); // overwrites the NUL it writes next
        text[11] = ' ';
        hash = sorvane::sha256ShortHex(text);
        history.record(text, hash, sorvane::Direction::sent);
        history.flush();
    }
    const Resident after = resident();
    size_t held = 0;
    for (const auto& entry : history.snapshot().entries)
        held += entry.text.size();
    const double mib = 1024.0 * 1024.0;
    std::printf("%d records of %zu B prose, each written: %zu entries, text held %7.2f MiB | "
                "RSS before %7.2f MiB, after %7.2f MiB, growth %7.2f MiB | growth/text %5.3f "
                "(target <= 1.2) | peak growth/text during the writes %5.3f | file %7.2f MiB\n",
                kRecords, kTextBytes, history.snapshot().entries.size(),
                static_cast<double>(held) / mib, static_cast<double>(before.now) / mib,
                static_cast<double>(after.now) / mib,
                (static_cast<double>(after.now) - static_cast<double>(before.now)) / mib,
                (static_cast<double>(after.now) - static_cast<double>(before.now)) /
                    static_cast<double>(held),
                (static_cast<double>(after.peak) - static_cast<double>(before.now)) /
                    static_cast<double>(held),
                static_cast<double>(fs::file_size(historyPath)) / mib);
    fs::remove(historyPath);
}

// Main-thread time of History::record with `entries` texts of `textBytes` in a full
// history, records coming faster than the writer can write them.
void runMainThreadCase(const fs::path& dir, int entries, size_t textBytes, int rounds) {
    std::mt19937_64 rng(static_cast<uint64_t>(entries) * 7919u + textBytes);
    fs::path historyPath = dir / "history.json";
    fs::remove(historyPath);
    std::vector<std::string> texts;
    for (int i = 0; i < entries + rounds; ++i)
        texts.push_back(makeText(textBytes, false, rng));
    {
        sorvane::PersistShape full;
        full.maxEntries = entries;
        for (int i = entries - 1; i >= 0; --i) {
            const auto& text = texts[static_cast<size_t>(i)];
            std::string hash = sorvane::sha256ShortHex(text);
            full.entries.push_back({hash + ":" + std::to_string(i), text, hash,
                                    static_cast<uint64_t>(i), sorvane::Direction::sent});
        }
        sorvane::store::writeFileAtomically(historyPath, sorvane::encodeHistoryFile(full));
    }
    std::vector<std::string> hashes;
    for (const auto& t : texts)
        hashes.push_back(sorvane::sha256ShortHex(t));
    sorvane::History history(historyPath);
    std::vector<double> recordMs, recordCpuMs;
    for (int r = 0; r < rounds; ++r) {
        auto k = static_cast<size_t>(entries + r);
        double cpuStart = threadCpuMs();
        auto start = Clock::now();
        history.record(texts[k], hashes[k], sorvane::Direction::received);
        recordMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        recordCpuMs.push_back(threadCpuMs() - cpuStart);
        // A clipboard change every few milliseconds: the writer is always busy.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    auto start = Clock::now();
    history.flush();
    double flushMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("main thread: %4d x %7zu B | file %7.2f MiB | record median %7.3f ms, max %7.3f ms "
                "(thread CPU median %7.3f ms, max %7.3f ms; target < 1 ms) | final flush %8.1f ms\n",
                entries, textBytes,
                static_cast<double>(fs::file_size(historyPath)) / (1024.0 * 1024.0),
                median(recordMs), maximum(recordMs), median(recordCpuMs), maximum(recordCpuMs),
                flushMs);
    fs::remove(historyPath);
}

// Bytes written for 100 records made at once (one burst) against 100 records
// each waited for, as every record was when the write blocked.
void runBurstCase(const fs::path& dir, size_t textBytes) {
    std::mt19937_64 rng(textBytes);
    std::vector<std::string> texts;
    for (int i = 0; i < 100; ++i)
        texts.push_back(makeText(textBytes, false, rng));
    for (bool waitEach : {false, true}) {
        fs::path historyPath = dir / "history.json";
        fs::remove(historyPath);
        sorvane::History history(historyPath);
        history.setMax(50);
        history.flush();
        IoCounters before = ioCounters();
        auto start = Clock::now();
        for (const auto& text : texts) {
            history.record(text, sorvane::sha256ShortHex(text), sorvane::Direction::sent);
            if (waitEach)
                history.flush();
        }
        history.flush();
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        IoCounters after = ioCounters();
        std::printf("100 records of %6zu B (max 50) %-22s | write() %9.2f MiB in %6llu calls | "
                    "to storage %9.2f MiB | %8.1f ms\n",
                    textBytes, waitEach ? "as 100 separate saves:" : "as one burst:",
                    static_cast<double>(after.wchar - before.wchar) / (1024.0 * 1024.0),
                    static_cast<unsigned long long>(after.syscw - before.syscw),
                    static_cast<double>(after.writeBytes - before.writeBytes) / (1024.0 * 1024.0),
                    ms);
        fs::remove(historyPath);
    }
}

void runCase(const fs::path& dir, int entries, size_t textBytes, bool mixed, int rounds) {
    std::mt19937_64 rng(static_cast<uint64_t>(entries) * 1000003u + textBytes);
    fs::path historyPath = dir / "history.json";
    fs::path rawPath = dir / "raw.bin";
    fs::remove(historyPath);

    // Start full so that every timed record writes `entries` texts.
    std::vector<std::string> texts;
    for (int i = 0; i < entries + rounds; ++i)
        texts.push_back(makeText(textBytes, mixed, rng));
    sorvane::PersistShape full;
    full.maxEntries = entries;
    for (int i = entries - 1; i >= 0; --i) {
        std::string hash = sorvane::sha256ShortHex(texts[static_cast<size_t>(i)]);
        full.entries.push_back({hash + ":" + std::to_string(i), texts[static_cast<size_t>(i)], hash,
                                static_cast<uint64_t>(i), sorvane::Direction::sent});
    }
    sorvane::store::writeFileAtomically(historyPath, sorvane::encodeHistoryFile(full));
    sorvane::History history(historyPath);

    std::vector<double> recordMs, encodeMs, dumpMs, rawMs;
    size_t fileBytes = 0;
    for (int r = 0; r < rounds; ++r) {
        const std::string& text = texts[static_cast<size_t>(entries + r)];
        std::string hash = sorvane::sha256ShortHex(text);
        history.flush(); // each round starts with the writer idle
        auto start = Clock::now();
        auto snap = history.record(text, hash, sorvane::Direction::received);
        recordMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());

        sorvane::PersistShape shape{snap.entries, snap.maxEntries, snap.pageSize,
                                    snap.autoApplyIncoming};
        start = Clock::now();
        std::string encoded = sorvane::encodeHistoryFile(shape);
        encodeMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        fileBytes = encoded.size();

        start = Clock::now();
        std::string dumped = nlohmannDump(shape);
        dumpMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (dumped != encoded) {
            std::fprintf(stderr, "encoder output differs from nlohmann's\n");
            std::exit(1);
        }

        rawMs.push_back(rawWriteFsync(rawPath, encoded));
    }
    double rec = median(recordMs), enc = median(encodeMs), dump = median(dumpMs),
           raw = median(rawMs);
    std::printf("%-5s %4d x %6zu B | file %6.2f MiB | record %8.3f ms | write+fsync %8.3f ms | "
                "ratio %5.2f | full encode %8.3f ms, nlohmann dump %8.3f ms\n",
                mixed ? "mixed" : "prose", entries, textBytes,
                static_cast<double>(fileBytes) / (1024.0 * 1024.0), rec, raw, rec / raw, enc, dump);
    fs::remove(historyPath);
    fs::remove(rawPath);
}

} // namespace

int main(int argc, char** argv) {
    fs::path dir;
    bool ownDir = false;
    if (argc > 1) {
        dir = argv[1];
        fs::create_directories(dir);
    } else {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp ? tmp : "/tmp") + "/sorvane-bench-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            return 1;
        }
        dir = pattern;
        ownDir = true;
    }
    std::printf("History memory against the text it holds, in %s\n", dir.c_str());
    runMemoryCase(dir);
    std::printf("\nHistory::record vs raw write+fsync of the same bytes (medians)\n");
    for (bool mixed : {false, true}) {
        for (int entries : {50, 200}) {
            runCase(dir, entries, 1024, mixed, 30);
            runCase(dir, entries, 100 * 1024, mixed, entries == 50 ? 15 : 9);
        }
    }
    std::printf("\nHistory::record on the main thread while the writer thread writes\n");
    runMainThreadCase(dir, 200, 100 * 1024, 40);
    runMainThreadCase(dir, 200, 1024 * 1024, 20);
    std::printf("\nBytes written: one burst against separate saves\n");
    runBurstCase(dir, 1024);
    runBurstCase(dir, 100 * 1024);
    if (ownDir)
        fs::remove_all(dir);
    return 0;
}
