// Giving back the pages of read-only file mappings: on this process's own
// mappings, read back through /proc/self/smaps.

#include "adapters/linux/system/ResidentPages.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace sorvane {
namespace {

const std::size_t kPage = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
constexpr std::size_t kPages = 16;

// The resident bytes of the mapping that starts at `at`, from smaps.
std::size_t residentAt(const void* at) {
    std::ifstream file("/proc/self/smaps");
    std::stringstream text;
    text << file.rdbuf();
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%lx-", reinterpret_cast<unsigned long>(at));
    bool inside = false;
    for (std::string line; std::getline(text, line);) {
        if (line.rfind(prefix, 0) == 0)
            inside = true;
        else if (inside && line.rfind("Rss:", 0) == 0)
            return std::stoul(line.substr(4)) * 1024;
    }
    ADD_FAILURE() << "no mapping at " << prefix;
    return 0;
}

class ResidentPages : public ::testing::Test {
protected:
    void SetUp() override {
        char path[] = "/tmp/resident-pages-XXXXXX";
        m_fd = mkstemp(path);
        ASSERT_GE(m_fd, 0);
        unlink(path);
        std::vector<unsigned char> bytes(kPages * kPage);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<unsigned char>(i * 7 + i / kPage);
        ASSERT_EQ(write(m_fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        m_fileBytes = std::move(bytes);
    }
    void TearDown() override {
        for (auto [at, size] : m_maps)
            munmap(at, size);
        close(m_fd);
    }
    unsigned char* map(int prot) {
        void* at = mmap(nullptr, kPages * kPage, prot, MAP_PRIVATE, m_fd, 0);
        EXPECT_NE(at, MAP_FAILED);
        m_maps.emplace_back(at, kPages * kPage);
        return static_cast<unsigned char*>(at);
    }
    // Reads every byte, so that every page is resident.
    static unsigned sum(const unsigned char* p, std::size_t n) {
        unsigned s = 0;
        for (std::size_t i = 0; i < n; ++i)
            s += static_cast<const volatile unsigned char*>(p)[i];
        return s;
    }
    int m_fd = -1;
    std::vector<unsigned char> m_fileBytes;
    std::vector<std::pair<void*, std::size_t>> m_maps;
};

TEST_F(ResidentPages, ReadOnlyFileDataGoesAndComesBackUnchanged) {
    const unsigned char* data = map(PROT_READ);
    EXPECT_EQ(sum(data, kPages * kPage), sum(m_fileBytes.data(), m_fileBytes.size()));
    ASSERT_EQ(residentAt(data), kPages * kPage);

    EXPECT_GE(releaseCleanFilePages(), kPages * kPage);
    EXPECT_EQ(residentAt(data), 0u);
    EXPECT_EQ(std::vector<unsigned char>(data, data + kPages * kPage), m_fileBytes);
}

// Relocated data looks like this: written, then made read-only. Those pages are
// the process's own; the untouched ones around them are still the file's.
TEST_F(ResidentPages, PagesTheProcessWroteStayAndSoDoesWritableMemory) {
    unsigned char* relro = map(PROT_READ | PROT_WRITE);
    relro[0] = 0xA5;
    relro[5 * kPage + 3] = 0x5A;
    sum(relro, kPages * kPage);
    ASSERT_EQ(mprotect(relro, kPages * kPage, PROT_READ), 0);
    unsigned char* data = map(PROT_READ | PROT_WRITE);
    data[kPage] = 0x42;
    sum(data, kPages * kPage);
    std::vector<unsigned char> heap(kPages * kPage, 0x33);

    releaseCleanFilePages();
    EXPECT_EQ(residentAt(relro), 2 * kPage) << "only the two written pages stay";
    EXPECT_EQ(relro[0], 0xA5);
    EXPECT_EQ(relro[5 * kPage + 3], 0x5A);
    EXPECT_EQ(relro[1], m_fileBytes[1]);
    EXPECT_EQ(relro[7 * kPage], m_fileBytes[7 * kPage]);
    EXPECT_EQ(residentAt(data), kPages * kPage) << "a writable mapping is left whole";
    EXPECT_EQ(data[kPage], 0x42);
    EXPECT_EQ(sum(heap.data(), heap.size()), 0x33u * kPages * kPage);
}

TEST(ResidentPagesParse, OnlyReadOnlyRegularFilesWithPagesResidentAndNoneLocked) {
    const auto mappings = readOnlyFileMappings(
        "1000-3000 r-xp 00000000 fe:00 1 /usr/lib/libkept.so\n"
        "Rss:                   8 kB\nAnonymous:             0 kB\nVmFlags: rd ex mr mw me\n"
        "3000-4000 r--p 00002000 fe:00 1 /usr/lib/libkept.so\n"
        "Rss:                   4 kB\nAnonymous:             4 kB\nVmFlags: rd mr mw me ac\n"
        "4000-5000 rw-p 00003000 fe:00 1 /usr/lib/libkept.so\nRss:                   4 kB\n"
        "5000-6000 r--p 00000000 fe:00 2 /usr/lib/empty.so\nRss:                   0 kB\n"
        "6000-7000 r--s 00000000 00:05 3 /dev/dri/renderD128\nRss:                   4 kB\n"
        "7000-8000 r--p 00000000 fe:00 4 /usr/lib/locked.so\nRss:                   4 kB\nLocked:                4 kB\n"
        "8000-9000 r--s 00000000 fe:00 5 /var/cache/fontconfig/x.cache (deleted)\nRss:                   4 kB\n"
        "9000-a000 r--p 00000000 00:00 0 [vvar]\nRss:                   4 kB\n"
        "a000-b000 r--p 00000000 00:00 0 \nRss:                   4 kB\n"
        "zz-b000 r--p 00000000 fe:00 6 /usr/lib/garbled.so\nRss:                   4 kB\n");
    ASSERT_EQ(mappings.size(), 3u);
    EXPECT_EQ(mappings[0].begin, 0x1000u);
    EXPECT_EQ(mappings[0].end, 0x3000u);
    EXPECT_EQ(mappings[0].residentBytes, 8192u);
    EXPECT_FALSE(mappings[0].hasOwnPages);
    EXPECT_EQ(mappings[1].begin, 0x3000u);
    EXPECT_TRUE(mappings[1].hasOwnPages);
    EXPECT_EQ(mappings[2].begin, 0x8000u);
}

} // namespace
} // namespace sorvane
