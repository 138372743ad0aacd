// Whole-file reads and crash-safe whole-file writes for the stores.
//
// A write goes to a temporary file in the target's directory, which is flushed to
// disk, renamed over the target and followed by a flush of the directory, so a
// crash at any moment leaves either the old file or the new one, never a torn
// one. Files are created with mode 0600: they may hold clipboard text and keys.
//
// Failures are thrown as std::system_error carrying the errno of the failing call.
// Plain functions; safe to call from any thread for distinct paths.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sorvane::store {

// Thrown by readFile for something at the path that it will not read: anything
// but a regular file (a FIFO, a device, a directory; a symbolic link unless
// links are followed) or a file larger than the caller's limit. The description
// names the path and the reason.
class RefusedFile : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ReadOptions {
    // The largest file read; a larger one is refused, unless `headOnly`.
    size_t maxBytes = 0;
    // Reads at most `maxBytes` and ignores the rest of a longer file.
    bool headOnly = false;
    // Whether a symbolic link at the path is followed (to a regular file).
    bool followLinks = false;
};

// The whole file, or nullopt when nothing exists at `path`. The file is opened
// without blocking (a FIFO at the path never hangs the caller) and never becomes
// an inheritable descriptor. Refusals are thrown as RefusedFile; any other
// failure (permissions, a read error, no memory for the content) as
// std::system_error.
std::optional<std::string> readFile(const std::filesystem::path& path, const ReadOptions& options);

// Replaces `path` with `content` atomically; the file ends up with mode 0600.
void writeFileAtomically(const std::filesystem::path& path, std::string_view content);
// The same with the content given as pieces written one after the other.
void writeFileAtomically(const std::filesystem::path& path,
                         std::span<const std::string_view> pieces);

// Creates `path` with `content` atomically unless something already exists there:
// returns false, and leaves the existing file untouched, in that case.
bool createFileAtomically(const std::filesystem::path& path, std::string_view content);

// Removes `path` and flushes its directory. Returns false when nothing was there.
bool removeFile(const std::filesystem::path& path);

// Creates `dir` and any missing parents with mode 0700. Directories that already
// exist keep the permissions they have.
void createPrivateDirectories(const std::filesystem::path& dir);

// Makes sure that nobody else can change what is in `dir` (followed if it is a
// symbolic link): a directory of ours that the group or others may write to is
// set to mode 0700 (and logged); one that belongs to another user is refused
// with RefusedFile. Other failures are thrown as std::system_error.
void makeDirectoryPrivate(const std::filesystem::path& dir);

// Deletes temporaries that an interrupted write of one of `names` left in `dir`
// (they may hold clipboard text); other files, however they are named, are left
// alone. Errors are ignored. Call while no write is in progress.
void removeStaleTemporaries(const std::filesystem::path& dir,
                            std::span<const std::string_view> names);

// Moves whatever is at `path` to `path` + ".unreadable", replacing an older
// copy there, so that a file that could not be loaded survives the next write
// over `path`. A regular file of ours ends up with mode 0600. Returns false when
// nothing was at `path` or a directory is there (a write cannot replace it);
// failures are thrown as std::system_error.
bool keepAside(const std::filesystem::path& path);

} // namespace sorvane::store
