// The history's writer thread: writes the latest state handed to it to the
// history file, off the main thread.
//
// submit() replaces any state still waiting, so a burst of changes made while a
// write runs becomes one more write, of the last state. Each write keeps the
// crash safety of store::writeFileAtomically. Each write encodes the entries
// afresh and lets go of the encoded texts when it ends: the writer holds no copy
// of the history between writes, and during one only of the texts that need
// escaping (the others go to the file straight from the entries).
//
// A failed write is logged ("Sorvane: history.json not saved: ...") once until a
// write succeeds again ("Sorvane: history.json saved again"); nothing is retried,
// the next submit writes the whole state. With `keepAsideFirst`, whatever stands
// at the path is moved to "<path>.unreadable" before the first write over it;
// while that move fails, nothing is written.
//
// Thread-safety: submit() and flush() may be called from one owning thread; the
// destructor writes what is still waiting and joins the thread.
#pragma once

#include "base/ThreadSafety.h"
#include "store/History.h"

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

namespace sorvane {

class HistoryWriter {
public:
    struct State {
        EntryList::Shared entries; // newest first
        int64_t maxEntries = 0;
        int64_t pageSize = 0;
        bool autoApplyIncoming = false;
    };

    HistoryWriter(std::filesystem::path path, bool keepAsideFirst);
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    void submit(State state);
    // Returns once every state submitted before the call is written or failed.
    void flush();

private:
    void run();
    void write(const State& state);

    const std::filesystem::path m_path;
    Mutex m_mutex;
    std::condition_variable m_changed;
    std::optional<State> m_pending SORVANE_GUARDED_BY(m_mutex);
    uint64_t m_submitted SORVANE_GUARDED_BY(m_mutex) = 0; // states handed over
    uint64_t m_finished SORVANE_GUARDED_BY(m_mutex) = 0;  // of those, written or failed
    bool m_stopping SORVANE_GUARDED_BY(m_mutex) = false;

    // The writer thread's own.
    bool m_keepAside;
    bool m_failing = false;

    std::thread m_thread; // last: starts once everything above exists
};

} // namespace sorvane
