// X11Pasteboard: the CLIPBOARD selection of an X server as a Pasteboard.
//
// The change count is the number of XFixes selection-owner notifications seen
// on a dedicated connection, so reading it costs no round trip. Types come from
// the TARGETS conversion, the text from UTF8_STRING (STRING, converted from
// Latin-1, when an old owner refuses UTF-8), INCR transfers included. Every wait
// for the owner is bounded: an owner that does not answer, stalls in the middle
// of a transfer or offers more than `maxTextBytes` gives "no text" (with a log
// line) and the requesting window is replaced so that its late answers land
// nowhere. Text that is not valid UTF-8 is dropped with a log line. Writing
// makes this program the owner through X11SelectionOwner. The front
// application's identifier is the WM_CLASS class of _NET_ACTIVE_WINDOW.
//
// Thread-safety: as Pasteboard. The reading side is serialised by a mutex;
// writeString() goes to the owner thread and may run alongside it.
#pragma once

#include "ports/Pasteboard.h"

#include <chrono>
#include <memory>

namespace sorvane::x11 {

class X11Pasteboard final : public Pasteboard {
public:
    struct Options {
        // Longest wait for the owner's answer to one conversion.
        std::chrono::milliseconds conversionTimeout{1000};
        // Longest pause between two pieces of an INCR transfer.
        std::chrono::milliseconds stallTimeout{2000};
        // Longest INCR transfer overall.
        std::chrono::milliseconds transferTimeout{30000};
        size_t maxTextBytes = 64u << 20;
        // Serving our own texts: a requestor that stops reading an INCR
        // transfer for this long is dropped.
        std::chrono::milliseconds serveStallTimeout{5000};
        // Largest property written at once when serving; 0: the server's limit.
        size_t serveChunkBytes = 0;
    };

    // Null when the display cannot be opened or lacks XFixes (logged).
    static std::unique_ptr<X11Pasteboard> open(const char* displayName, Options options);
    static std::unique_ptr<X11Pasteboard> open(const char* displayName = nullptr) {
        return open(displayName, Options{});
    }
    ~X11Pasteboard() override;
    X11Pasteboard(const X11Pasteboard&) = delete;
    X11Pasteboard& operator=(const X11Pasteboard&) = delete;

    int64_t changeCount() override;
    std::vector<std::string> types() override;
    std::optional<std::string> string() override;
    void writeString(const std::string& text) override;
    std::optional<std::string> frontmostApplicationID() override;

private:
    class Reader;
    class Writer;
    X11Pasteboard(std::unique_ptr<Reader> reader, std::unique_ptr<Writer> writer);

    // The reading side, serialised by its own mutex.
    const std::unique_ptr<Reader> m_reader;
    // The owner of our own texts, on its own thread.
    const std::unique_ptr<Writer> m_writer;
};

} // namespace sorvane::x11
