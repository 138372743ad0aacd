// SorvanePasteboardWatcher: notices local copies on the system clipboard and
// reports each accepted text with its content hash; writes received texts to the
// clipboard without reporting them back.
//
// It polls the clipboard's change counter every 200 ms on its own thread (the
// serial poll queue "sorvane.pasteboard.poll"). When the counter moved, the
// filter chain runs on that thread: items marked as transient, concealed or
// sensitive are dropped (an exact marker also opens a 2 s grace window that
// swallows the next change, a password manager restoring the old contents),
// copies made while a dictation tool or a password manager is in front are
// dropped, a text equal to the last one is dropped, and our own write whose
// hash was handed to setSuppressHash() is swallowed once. Whatever was on the clipboard when the
// watcher was constructed is never reported.
//
// Thread-safety: construct, start(), stop(), setOnChange(), setSuppressHash()
// and writeString() on the main thread. The change handler is called on the
// poll thread; it must hop to the main thread itself and must not call stop()
// or destroy the watcher. pollOnce() runs on the poll thread, or on any one
// thread while the loop is not running.
#pragma once

#include "ports/AppServices.h"
#include "ports/Pasteboard.h"
#include "base/Clock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>

namespace sorvane {

class SorvanePasteboardWatcher final : public PasteboardWatcher {
public:
    static constexpr const char* kPollQueueLabel = "sorvane.pasteboard.poll";
    // The kernel keeps 15 characters of a thread's name.
    static constexpr const char* kPollThreadName = "pasteboard.poll";
    static constexpr std::chrono::milliseconds kPollPeriod{200};
    static constexpr std::chrono::duration<double> kTransientGrace{2.0};

    // Takes the pasteboard's current change count as already seen.
    explicit SorvanePasteboardWatcher(std::unique_ptr<Pasteboard> pasteboard,
                                      SteadyClock clock = systemSteadyClock());
    // Stops the loop and waits for its current pass.
    ~SorvanePasteboardWatcher() override;
    SorvanePasteboardWatcher(const SorvanePasteboardWatcher&) = delete;
    SorvanePasteboardWatcher& operator=(const SorvanePasteboardWatcher&) = delete;

    void setOnChange(ChangeHandler handler) override;
    // Starts the poll loop; does nothing while it is already running.
    void start() override;
    // Clears `running` and waits for the current pass to end; no change is
    // reported afterwards. start() may be called again later.
    void stop() override;
    // The next change whose text has this hash is swallowed once. Set it
    // before writeString() so that the poll that sees the change sees the hash.
    void setSuppressHash(const std::string& hash) override;
    // Replaces the clipboard contents with `text` as plain text.
    void writeString(const std::string& text) override;

    bool running() const { return m_running.load(); }
    // The hash still waiting to be swallowed, if any.
    std::optional<std::string> suppressHash() const;

    // One pass of the loop: reads the change count and, when it moved, runs the
    // filter chain and possibly reports.
    void pollOnce();

    // Pasteboard types that mark an item as not to be synced (exact match).
    static const std::set<std::string, std::less<>>& transientTypes();
    // Substrings of a lower-cased type that mark it as sensitive, in test order.
    static const std::vector<std::string>& heuristicSubstrings();
    // Applications whose copies are ignored while they are in front: dictation
    // tools by bundle identifier, and password managers and keyring tools by
    // their X11 window class (WM_CLASS), as the Linux desktop names the front
    // application. Both are compared case-insensitively.
    static const std::set<std::string, std::less<>>& sensitiveBundleIDs();
    static const std::set<std::string, std::less<>>& sensitiveWindowClasses();
    // True when `front` names one of the applications above, in any letter case.
    static bool isSensitiveApplication(std::string_view front);

private:
    void runLoop();
    void handleChange();
    bool takeSuppressHash(const std::string& hash);

    std::mutex m_handlerMutex;
    ChangeHandler m_onChange; // guarded by m_handlerMutex

    mutable std::mutex m_suppressMutex;
    std::optional<std::string> m_suppressHash; // guarded by m_suppressMutex

    const std::unique_ptr<Pasteboard> m_pasteboard;
    const SteadyClock m_clock;

    // Owned by the poll thread (or by the caller of pollOnce while stopped).
    int64_t m_lastChangeCount;
    std::optional<std::string> m_lastHash;
    std::optional<std::chrono::steady_clock::time_point> m_lastTransientAt;

    std::atomic<bool> m_running{false};
    std::mutex m_sleepMutex;
    std::condition_variable m_wake;
    std::thread m_pollThread;
};

} // namespace sorvane
