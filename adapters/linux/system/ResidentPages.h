// Resident pages that hold nothing this process made: giving them back when idle.
//
// Start-up runs code that an idle program never runs again (loading libraries,
// reading the history, building windows), and its pages stay mapped until the
// kernel wants the memory. releaseCleanFilePages() unmaps from this process every
// page of a read-only file mapping that still holds only the file's own bytes: the
// code and constant data of the loaded libraries, fonts, caches. The pages stay in
// the page cache and come back, from there, on the next touch. A mapping with any
// page of its own (data a relocation or a debugger changed) keeps those pages
// (read from /proc/self/pagemap), so nothing the process wrote is lost.
//
// Main thread only, where Qt loads and drops its plugins and fonts: the mappings
// are read first and released after, so another thread that unmapped a file and
// reused its addresses in between would lose what it put there. Reads
// /proc/self/smaps; without it, releases nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace sorvane {

struct FileMapping {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
    std::size_t residentBytes = 0;
    // Holds anonymous pages (copied on write); only its other pages may go.
    bool hasOwnPages = false;
};

// The read-only mappings of regular files in an smaps text that have pages
// resident and none locked: what releaseCleanFilePages() looks at.
std::vector<FileMapping> readOnlyFileMappings(std::string_view smaps);

// Returns the bytes that were resident in what was released.
std::size_t releaseCleanFilePages();

} // namespace sorvane
