#include "store/AtomicFile.h"

#include "base/Log.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

namespace sorvane::store {
namespace {

// Temporaries are named ".<target>.tmp-XXXXXX"; removeStaleTemporaries looks for
// this shape and nothing else.
constexpr std::string_view kTempMarker = ".tmp-";

[[noreturn]] void throwErrno(const char* what, const std::filesystem::path& path) {
    throw std::system_error(errno, std::generic_category(),
                            std::string(what) + " " + path.string());
}

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    // Closes now so that a failing close (delayed write error) can be reported.
    int close() { return ::close(std::exchange(m_fd, -1)); }

private:
    int m_fd;
};

std::filesystem::path parentOf(const std::filesystem::path& path) {
    auto parent = path.parent_path();
    return parent.empty() ? std::filesystem::path(".") : parent;
}

// Writes every piece in order, many per writev() call, resuming after short writes.
void writeAll(int fd, std::span<const std::string_view> pieces, const std::filesystem::path& path) {
    constexpr size_t kBatch = 256; // well under IOV_MAX
    std::vector<iovec> iov;
    iov.reserve(std::min(pieces.size(), kBatch));
    size_t next = 0;
    while (next < pieces.size()) {
        iov.clear();
        for (; next < pieces.size() && iov.size() < kBatch; ++next) {
            if (!pieces[next].empty())
                iov.push_back({const_cast<char*>(pieces[next].data()), pieces[next].size()});
        }
        size_t first = 0;
        while (first < iov.size()) {
            ssize_t n = ::writev(fd, iov.data() + first, static_cast<int>(iov.size() - first));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                throwErrno("write", path);
            }
            auto left = static_cast<size_t>(n);
            while (first < iov.size() && left >= iov[first].iov_len)
                left -= iov[first++].iov_len;
            if (first < iov.size()) {
                iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + left;
                iov[first].iov_len -= left;
            }
        }
    }
}

void syncDirectory(const std::filesystem::path& dir) {
    Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0)
        throwErrno("open directory", dir);
    if (::fsync(fd.get()) != 0)
        throwErrno("fsync directory", dir);
}

// A fully written and flushed temporary beside the target. Unlinked on
// destruction unless it was handed over (renamed or linked into place).
class Temporary {
public:
    Temporary(const std::filesystem::path& target, std::span<const std::string_view> pieces) {
        std::string name = "." + target.filename().string() + std::string(kTempMarker) + "XXXXXX";
        std::string pattern = (parentOf(target) / name).string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        Fd fd(::mkostemp(buffer.data(), O_CLOEXEC));
        if (fd.get() < 0)
            throwErrno("create temporary for", target);
        m_path = buffer.data();
        // A constructor that throws gets no destructor call: the temporary is
        // removed here on every failure (a full disk fails in writeAll).
        try {
            // mkostemp already asks for 0600, but only as far as the umask allows.
            if (::fchmod(fd.get(), 0600) != 0)
                throwErrno("chmod", m_path);
            writeAll(fd.get(), pieces, m_path);
            if (::fsync(fd.get()) != 0)
                throwErrno("fsync", m_path);
            if (fd.close() != 0)
                throwErrno("close", m_path);
        } catch (...) {
            ::unlink(m_path.c_str());
            throw;
        }
    }
    ~Temporary() {
        if (!m_path.empty())
            ::unlink(m_path.c_str());
    }
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    void handedOver() { m_path.clear(); }

private:
    std::filesystem::path m_path;
};

} // namespace

std::optional<std::string> readFile(const std::filesystem::path& path, const ReadOptions& options) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer,
    // for ever and deaf to SIGTERM. It changes nothing for a regular file.
    int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (!options.followLinks)
        flags |= O_NOFOLLOW;
    Fd fd(::open(path.c_str(), flags));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        if (errno == ELOOP && !options.followLinks)
            throw RefusedFile(path.string() + " is a symbolic link, not a regular file");
        throwErrno("open", path);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        throwErrno("stat", path);
    if (!S_ISREG(st.st_mode))
        throw RefusedFile(path.string() + " is not a regular file");
    const auto size = static_cast<uint64_t>(st.st_size);
    if (size > options.maxBytes && !options.headOnly)
        throw RefusedFile(path.string() + " is larger than " + std::to_string(options.maxBytes) +
                          " bytes (" + std::to_string(size) + ")");
    std::string content;
    try {
        content.resize(static_cast<size_t>(std::min<uint64_t>(size, options.maxBytes)));
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        throwErrno("no memory to read", path);
    }
    // The size from fstat can be out of date (the file may grow while it is
    // read): one byte more than the limit is asked for to notice that.
    size_t used = 0;
    for (;;) {
        if (used == content.size()) {
            if (used >= options.maxBytes) {
                if (options.headOnly)
                    break;
                char extra;
                ssize_t n = ::read(fd.get(), &extra, 1);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    throwErrno("read", path);
                if (n > 0)
                    throw RefusedFile(path.string() + " is larger than " +
                                      std::to_string(options.maxBytes) + " bytes");
                break;
            }
            try {
                content.resize(std::min(options.maxBytes, std::max<size_t>(used * 2, 65536)));
            } catch (const std::bad_alloc&) {
                errno = ENOMEM;
                throwErrno("no memory to read", path);
            }
        }
        ssize_t n = ::read(fd.get(), content.data() + used, content.size() - used);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throwErrno("read", path);
        }
        if (n == 0)
            break;
        used += static_cast<size_t>(n);
    }
    content.resize(used);
    return content;
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view content) {
    writeFileAtomically(path, std::span<const std::string_view>(&content, 1));
}

void writeFileAtomically(const std::filesystem::path& path,
                         std::span<const std::string_view> pieces) {
    Temporary temp(path, pieces);
    if (::rename(temp.path().c_str(), path.c_str()) != 0)
        throwErrno("rename over", path);
    temp.handedOver();
    syncDirectory(parentOf(path));
}

bool createFileAtomically(const std::filesystem::path& path, std::string_view content) {
    Temporary temp(path, std::span<const std::string_view>(&content, 1));
    // renameat2(RENAME_NOREPLACE) refuses to replace; file systems without it
    // get the same guarantee from link(), which never replaces either.
    if (::renameat2(AT_FDCWD, temp.path().c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
        temp.handedOver();
    } else if (errno == EEXIST) {
        return false;
    } else if (errno == EINVAL || errno == ENOSYS) {
        if (::link(temp.path().c_str(), path.c_str()) != 0) {
            if (errno == EEXIST)
                return false;
            throwErrno("link", path);
        }
        // The temporary's own name is removed by its destructor.
    } else {
        throwErrno("rename to", path);
    }
    syncDirectory(parentOf(path));
    return true;
}

bool removeFile(const std::filesystem::path& path) {
    if (::unlink(path.c_str()) != 0) {
        if (errno == ENOENT)
            return false;
        throwErrno("remove", path);
    }
    syncDirectory(parentOf(path));
    return true;
}

void createPrivateDirectories(const std::filesystem::path& dir) {
    std::filesystem::path current;
    for (const auto& part : dir) {
        current /= part;
        if (::mkdir(current.c_str(), 0700) == 0 || errno == EEXIST)
            continue;
        throwErrno("create directory", current);
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0)
        throwErrno("stat", dir);
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        throwErrno("create directory", dir);
    }
}

void makeDirectoryPrivate(const std::filesystem::path& dir) {
    Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0)
        throwErrno("open directory", dir);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        throwErrno("stat", dir);
    if (st.st_uid != ::geteuid())
        throw RefusedFile("data directory " + dir.string() + " belongs to user " +
                          std::to_string(st.st_uid) + ", not to this user; refusing to use it");
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return;
    // Anyone who may write here can rename their own peers.json into place.
    if (::fchmod(fd.get(), 0700) != 0)
        throwErrno("chmod", dir);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    logLine("Sorvane: data directory " + dir.string() + " was writable by others (mode " + mode +
            "), set to 0700");
}

void removeStaleTemporaries(const std::filesystem::path& dir,
                            std::span<const std::string_view> names) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
    if (!d)
        return;
    constexpr size_t kSuffix = 6; // the XXXXXX of mkostemp
    while (const dirent* entry = ::readdir(d.get())) {
        std::string_view name = entry->d_name;
        bool ours = false;
        for (std::string_view target : names) {
            // "." + target + ".tmp-" + six characters
            const size_t length = 1 + target.size() + kTempMarker.size() + kSuffix;
            ours = ours || (name.size() == length && name.front() == '.' &&
                            name.substr(1, target.size()) == target &&
                            name.substr(1 + target.size(), kTempMarker.size()) == kTempMarker);
        }
        if (ours)
            ::unlinkat(::dirfd(d.get()), entry->d_name, 0);
    }
}

bool keepAside(const std::filesystem::path& path) {
    std::filesystem::path aside = path;
    aside += ".unreadable";
    // No write can replace a directory, so there is nothing to keep safe.
    struct stat before {};
    if (::lstat(path.c_str(), &before) == 0 && S_ISDIR(before.st_mode))
        return false;
    if (::rename(path.c_str(), aside.c_str()) != 0) {
        if (errno == ENOENT)
            return false;
        throwErrno("rename to", aside);
    }
    // The copy may hold clipboard text. Only a regular file of our own with one
    // name is made private: a hard link to someone else's file keeps its mode.
    Fd fd(::open(aside.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
    struct stat st {};
    if (fd.get() >= 0 && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
        st.st_uid == ::geteuid() && st.st_nlink == 1)
        ::fchmod(fd.get(), 0600);
    syncDirectory(parentOf(path));
    return true;
}

} // namespace sorvane::store
