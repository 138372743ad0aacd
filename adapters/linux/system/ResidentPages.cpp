#include "adapters/linux/system/ResidentPages.h"

#include <charconv>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace sorvane {
namespace {

std::string_view nextLine(std::string_view& text) {
    const auto end = text.find('\n');
    const auto line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    return line;
}

std::string_view nextField(std::string_view& line) {
    const auto start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    const auto end = line.find(' ');
    const auto field = line.substr(0, end);
    line.remove_prefix(end == std::string_view::npos ? line.size() : end);
    return field;
}

std::uintptr_t parseHex(std::string_view text, bool& ok) {
    std::uintptr_t value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    ok = ok && ec == std::errc() && ptr == text.data() + text.size();
    return value;
}

struct Candidate {
    FileMapping mapping;
    bool eligible = false;   // from the header: read-only, a regular file's
    bool pinned = false;     // locked, huge-page, raw page frame or I/O memory
};

void finish(const Candidate& c, std::vector<FileMapping>& out) {
    if (c.eligible && !c.pinned && c.mapping.residentBytes > 0)
        out.push_back(c.mapping);
}

std::string readWhole(const char* path) {
    std::string text;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return text;
}

// /proc/self/pagemap: one 64-bit word per page.
constexpr std::uint64_t kPresent = std::uint64_t{1} << 63;
constexpr std::uint64_t kSwapped = std::uint64_t{1} << 62;
constexpr std::uint64_t kFileOrShared = std::uint64_t{1} << 61;

// Releases the runs of `m` whose pages are the file's own or absent; keeps the
// anonymous ones, resident or swapped out. Without the page map, keeps it all.
std::size_t releaseAroundOwnPages(int pagemap, const FileMapping& m, std::size_t pageSize) {
    const std::size_t pages = (m.end - m.begin) / pageSize;
    std::vector<std::uint64_t> entries(pages);
    const auto bytes = static_cast<ssize_t>(pages * sizeof(std::uint64_t));
    if (pagemap < 0 ||
        ::pread(pagemap, entries.data(), static_cast<size_t>(bytes),
                static_cast<off_t>(m.begin / pageSize * sizeof(std::uint64_t))) != bytes)
        return 0;
    std::size_t released = 0;
    std::size_t runStart = 0;
    auto flush = [&](std::size_t runEnd) {
        if (runEnd > runStart &&
            madvise(reinterpret_cast<void*>(m.begin + runStart * pageSize), (runEnd - runStart) * pageSize,
                    MADV_DONTNEED) == 0) {
            for (std::size_t i = runStart; i < runEnd; ++i)
                if (entries[i] & kPresent)
                    released += pageSize;
        }
    };
    for (std::size_t i = 0; i < pages; ++i) {
        const std::uint64_t e = entries[i];
        const bool own = (e & kSwapped) || ((e & kPresent) && !(e & kFileOrShared));
        if (own) {
            flush(i);
            runStart = i + 1;
        }
    }
    flush(pages);
    return released;
}

} // namespace

std::vector<FileMapping> readOnlyFileMappings(std::string_view smaps) {
    std::vector<FileMapping> out;
    Candidate current;
    bool haveCurrent = false;
    while (!smaps.empty()) {
        std::string_view line = nextLine(smaps);
        std::string_view first = nextField(line);
        if (first.empty())
            continue;
        if (first.back() == ':') {
            if (!haveCurrent)
                continue;
            const std::string_view value = nextField(line);
            std::size_t kib = 0;
            std::from_chars(value.data(), value.data() + value.size(), kib);
            if (first == "Rss:")
                current.mapping.residentBytes = kib * 1024;
            else if (first == "Anonymous:" && kib > 0)
                current.mapping.hasOwnPages = true;
            else if (first == "Locked:" && kib > 0)
                current.pinned = true;
            else if (first == "VmFlags:")
                for (auto flag = nextField(line); !flag.empty(); flag = nextField(line))
                    if (flag == "io" || flag == "pf" || flag == "ht" || flag == "lo")
                        current.pinned = true;
            continue;
        }
        // A mapping's header: "begin-end perms offset device inode path".
        if (haveCurrent)
            finish(current, out);
        current = {};
        haveCurrent = true;
        const auto dash = first.find('-');
        bool ok = dash != std::string_view::npos;
        if (ok) {
            current.mapping.begin = parseHex(first.substr(0, dash), ok);
            current.mapping.end = parseHex(first.substr(dash + 1), ok);
        }
        const std::string_view perms = nextField(line);
        for (int i = 0; i < 3; ++i)
            nextField(line); // offset, device, inode
        const auto pathStart = line.find_first_not_of(' ');
        const std::string_view path =
            pathStart == std::string_view::npos ? std::string_view{} : line.substr(pathStart);
        current.eligible = ok && current.mapping.begin < current.mapping.end && perms.size() == 4 &&
                           perms[0] == 'r' && perms[1] == '-' && path.starts_with('/') &&
                           !path.starts_with("/dev/");
    }
    if (haveCurrent)
        finish(current, out);
    return out;
}

std::size_t releaseCleanFilePages() {
    const std::vector<FileMapping> mappings = readOnlyFileMappings(readWhole("/proc/self/smaps"));
    const auto pageSize = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    int pagemap = -1;
    std::size_t released = 0;
    for (const FileMapping& m : mappings) {
        if (m.hasOwnPages) {
            if (pagemap < 0)
                pagemap = ::open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
            released += releaseAroundOwnPages(pagemap, m, pageSize);
            continue;
        }
        // Only the page table entries go: the next touch faults the file's own
        // page back in, from the page cache.
        if (madvise(reinterpret_cast<void*>(m.begin), m.end - m.begin, MADV_DONTNEED) == 0)
            released += m.residentBytes;
    }
    if (pagemap >= 0)
        ::close(pagemap);
    return released;
}

} // namespace sorvane
