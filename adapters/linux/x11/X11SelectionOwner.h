// X11SelectionOwner: holds the CLIPBOARD selection for the texts this program
// writes, on its own X connection and its own thread ("x11.clip.owner").
//
// It answers conversion requests for TARGETS, TIMESTAMP, UTF8_STRING, TEXT,
// text/plain;charset=utf-8 and STRING (Latin-1, '?' for what Latin-1 lacks);
// other targets are refused. Texts larger than one X request go out with the
// INCR protocol, several requestors at a time; a transfer whose requestor stops
// reading (or vanishes) is dropped after `transferTimeout`. When another
// client takes the selection the text is forgotten.
//
// Thread-safety: publish() may be called from any thread, one call at a time;
// it hands the text to the owner thread and waits until the server has made
// this program the owner. The destructor ends the thread (the selection then
// goes away with the connection).
#pragma once

#include "base/UniqueFd.h"
#include "adapters/linux/x11/X11Connection.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace sorvane::x11 {

class X11SelectionOwner {
public:
    struct Options {
        // A stalled INCR transfer is dropped after this long without progress.
        std::chrono::milliseconds transferTimeout{5000};
        // How long publish() waits for the server to grant the selection.
        std::chrono::milliseconds publishTimeout{2000};
        // Largest property written at once; 0: chosen from the server's limit.
        size_t chunkBytes = 0;
    };

    // Null when the display cannot be opened.
    static std::unique_ptr<X11SelectionOwner> open(const char* displayName, Options options);
    static std::unique_ptr<X11SelectionOwner> open(const char* displayName = nullptr) {
        return open(displayName, Options{});
    }
    ~X11SelectionOwner();
    X11SelectionOwner(const X11SelectionOwner&) = delete;
    X11SelectionOwner& operator=(const X11SelectionOwner&) = delete;

    // Takes the CLIPBOARD selection with `text`. False when the server did not
    // grant it in time (or the connection is gone).
    bool publish(const std::string& text);

    // The largest text sent without INCR.
    size_t chunkBytes() const { return m_chunkBytes; }

private:
    struct Transfer {
        Window requestor;
        Atom property;
        Atom type;
        std::shared_ptr<const std::string> data;
        size_t offset = 0;
        std::chrono::steady_clock::time_point deadline;
    };

    X11SelectionOwner(std::unique_ptr<X11Connection> connection, UniqueFd wakeFd, Options options);
    void run();
    void serve();
    // True once the server has made us the owner of `text`.
    bool takeOwnership(std::shared_ptr<const std::string> text);
    std::optional<Time> serverTime();
    void handleEvent(XEvent& event);
    void answerRequest(const XSelectionRequestEvent& request);
    // Writes the value for one target into `property`; false when refused.
    bool convert(Window requestor, Atom target, Atom property);
    void continueTransfer(Window requestor, Atom property);
    void dropTransfers(Window requestor);
    void expireTransfers();
    void releaseRequestor(Window requestor);

    // Used and finally closed by the owner thread alone (Xlib hands a lost
    // connection's lock to the thread that met the loss).
    std::unique_ptr<X11Connection> m_x;
    const UniqueFd m_wakeFd;
    const Options m_options;
    Window m_window = 0;
    size_t m_chunkBytes = 0;
    Atom m_clipboard, m_targets, m_timestamp, m_multiple, m_utf8, m_text, m_textPlainUtf8, m_incr,
        m_timestampProperty;

    // Owner-thread state.
    std::shared_ptr<const std::string> m_current; // null: not the owner
    Time m_ownedSince = CurrentTime;
    std::list<Transfer> m_transfers;

    // Hand-over from publish().
    std::mutex m_mutex;
    std::condition_variable m_done;
    std::shared_ptr<const std::string> m_pending; // guarded by m_mutex
    uint64_t m_requested = 0;                     // guarded by m_mutex
    uint64_t m_granted = 0;                       // guarded by m_mutex
    uint64_t m_answered = 0;                      // guarded by m_mutex
    bool m_stopping = false;                      // guarded by m_mutex

    std::thread m_thread;
};

// UTF-8 to Latin-1 for the STRING target: characters beyond U+00FF and
// malformed bytes become '?'.
std::string utf8ToLatin1(const std::string& text);
// Latin-1 to UTF-8, for owners that offer only STRING.
std::string latin1ToUtf8(const std::string& text);

} // namespace sorvane::x11
