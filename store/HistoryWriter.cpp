#include "store/HistoryWriter.h"

#include "base/Log.h"
#include "store/AtomicFile.h"
#include "store/HistoryFile.h"

#include <pthread.h>

#include <utility>
#include <vector>

namespace sorvane {

HistoryWriter::HistoryWriter(std::filesystem::path path, bool keepAsideFirst)
    : m_path(std::move(path)), m_keepAside(keepAsideFirst), m_thread([this] { run(); }) {}

HistoryWriter::~HistoryWriter() {
    {
        MutexLock lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void HistoryWriter::submit(State state) {
    {
        MutexLock lock(m_mutex);
        m_pending = std::move(state);
        ++m_submitted;
    }
    m_changed.notify_all();
}

void HistoryWriter::flush() {
    std::unique_lock lock(m_mutex.native());
    m_changed.wait(lock, [this]() SORVANE_NO_THREAD_SAFETY_ANALYSIS {
        return m_finished == m_submitted;
    });
}

void HistoryWriter::run() {
    pthread_setname_np(pthread_self(), "history-writer");
    for (;;) {
        std::optional<State> state;
        uint64_t upTo = 0;
        {
            std::unique_lock lock(m_mutex.native());
            m_changed.wait(lock, [this]() SORVANE_NO_THREAD_SAFETY_ANALYSIS {
                return m_stopping || m_pending.has_value();
            });
            // The analysis cannot see that `lock` holds m_mutex.
            [&]() SORVANE_NO_THREAD_SAFETY_ANALYSIS {
                state = std::exchange(m_pending, std::nullopt);
                upTo = m_submitted;
            }();
        }
        if (!state)
            return; // stopping, and the last state is written
        write(*state);
        {
            MutexLock lock(m_mutex);
            m_finished = upTo;
        }
        m_changed.notify_all();
    }
}

void HistoryWriter::write(const State& state) {
    try {
        if (m_keepAside) {
            std::filesystem::path aside = m_path;
            aside += ".unreadable";
            if (store::keepAside(m_path))
                logLine("Sorvane: the history.json that could not be loaded is kept as " +
                        aside.string());
            m_keepAside = false;
        }
        std::vector<EncodedEntry> encoded;
        encoded.reserve(state.entries.size());
        for (const auto& entry : state.entries)
            encoded.emplace_back(*entry);
        PersistShape settings;
        settings.maxEntries = state.maxEntries;
        settings.pageSize = state.pageSize;
        settings.autoApplyIncoming = state.autoApplyIncoming;
        HistoryFileLayout layout(settings, encoded);
        store::writeFileAtomically(m_path, layout.pieces());
        if (m_failing)
            logLine("Sorvane: history.json saved again");
        m_failing = false;
    } catch (const std::exception& e) {
        if (!m_failing)
            logLine(std::string("Sorvane: history.json not saved: ") + e.what());
        m_failing = true;
    }
}

} // namespace sorvane
