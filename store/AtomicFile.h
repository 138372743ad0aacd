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
#include <string>
#include <string_view>

namespace sorvane::store {

// The whole file, or nullopt when nothing exists at `path`. Any other failure
// (permissions, a directory at `path`, a read error) is thrown.
std::optional<std::string> readFile(const std::filesystem::path& path);

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

// Deletes temporaries that an interrupted write left in `dir` (they may hold
// clipboard text). Errors are ignored. Call while no write is in progress.
void removeStaleTemporaries(const std::filesystem::path& dir);

} // namespace sorvane::store
