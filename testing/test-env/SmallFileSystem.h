#pragma once

#include "testing/test-env/TempDir.h"

#include <sys/mount.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>

namespace sorvane::testing {

// A file system with room for a few KiB: a small tmpfs when this process may
// mount one, else a limit on file size that makes write() fail the same way.
class SmallFileSystem {
public:
    SmallFileSystem() : m_dir(m_tmp.path() / "small") {
        std::filesystem::create_directories(m_dir);
        if (::mount("tmpfs", m_dir.c_str(), "tmpfs", 0, "size=64k,mode=0700") == 0) {
            m_mounted = true;
            return;
        }
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        rlimit small = m_saved;
        small.rlim_cur = 64 * 1024;
        ::setrlimit(RLIMIT_FSIZE, &small);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    }
    ~SmallFileSystem() {
        if (m_mounted) {
            ::umount2(m_dir.c_str(), MNT_DETACH);
        } else {
            ::setrlimit(RLIMIT_FSIZE, &m_saved);
            std::signal(SIGXFSZ, m_oldHandler);
        }
    }
    const std::filesystem::path& dir() const { return m_dir; }

private:
    TempDir m_tmp;
    std::filesystem::path m_dir;
    bool m_mounted = false;
    rlimit m_saved{};
    void (*m_oldHandler)(int) = SIG_DFL;
};

} // namespace sorvane::testing
