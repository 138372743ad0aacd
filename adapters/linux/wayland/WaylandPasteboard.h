// WaylandPasteboard: the clipboard of a Wayland compositor as a Pasteboard,
// through its data-control protocol (ext-data-control-v1 where offered, else
// zwlr_data_control_manager_v1) on a connection of its own.
//
// A dispatch thread owns the connection's event queue. The change count is the
// number of selection events of the first seat's data-control device; the
// types are the current offer's mime types in the order offered; nothing is
// pushed, the watcher samples. The text is read from the current owner through
// a pipe (text/plain;charset=utf-8, else UTF8_STRING, else text/plain) on the
// caller's thread, every wait bounded: an owner that does not answer, stalls or
// sends more than `maxTextBytes` gives "no text" with a log line, and text that
// is not valid UTF-8 is dropped with a log line. writeString() hands a source
// of our own to the dispatch thread and returns once the compositor has
// answered the round trip that follows it (or after `writeTimeout`, logged);
// the source is served until the compositor cancels it, each reader through a
// non-blocking pipe, so a large text never holds up event dispatch, and a
// reader that stops reading for `serveStallTimeout` is dropped. A lost
// connection (or a compositor that withdraws the device) is logged once and
// reads as nothing afterwards. The front application is never known:
// data-control does not tell.
//
// Thread-safety: as Pasteboard. The shared state is guarded by one mutex, which
// no call holds while it waits for another client.
#pragma once

#include "ports/Pasteboard.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace sorvane::wayland {

class WaylandPasteboard final : public Pasteboard {
public:
    struct Options {
        // Longest wait for the owner's first byte (or end of data).
        std::chrono::milliseconds conversionTimeout{1000};
        // Longest pause between two pieces of a transfer.
        std::chrono::milliseconds stallTimeout{2000};
        // Longest transfer overall.
        std::chrono::milliseconds transferTimeout{30000};
        size_t maxTextBytes = 64u << 20;
        // Serving our own texts: a reader that takes nothing for this long is dropped.
        std::chrono::milliseconds serveStallTimeout{5000};
        // Longest wait in writeString() for the compositor to confirm the new selection.
        std::chrono::milliseconds writeTimeout{2000};
    };

    // The kernel keeps 15 characters of a thread's name.
    static constexpr const char* kDispatchThreadName = "wayland.clip";

    // Null when the display cannot be reached, offers no data-control manager
    // or no seat (one log line says which). `display` is a socket name or an
    // absolute path; null means $WAYLAND_DISPLAY.
    static std::unique_ptr<WaylandPasteboard> open(const char* display, Options options);
    static std::unique_ptr<WaylandPasteboard> open(const char* display = nullptr) {
        return open(display, Options{});
    }
    // The data-control protocol `display` offers, by the name protocolName()
    // would give ("ext-data-control-v1" preferred); absent when it offers none
    // or cannot be reached. Connects and leaves again; logs nothing.
    static std::optional<std::string> dataControlProtocol(const char* display = nullptr);

    ~WaylandPasteboard() override;
    WaylandPasteboard(const WaylandPasteboard&) = delete;
    WaylandPasteboard& operator=(const WaylandPasteboard&) = delete;

    // "ext-data-control-v1" or "zwlr_data_control_manager_v1".
    const char* protocolName() const;

    int64_t changeCount() override;
    std::vector<std::string> types() override;
    std::optional<std::string> string() override;
    void writeString(const std::string& text) override;
    std::optional<std::string> frontmostApplicationID() override { return std::nullopt; }

private:
    class Session;
    explicit WaylandPasteboard(std::unique_ptr<Session> session);

    const std::unique_ptr<Session> m_session;
};

} // namespace sorvane::wayland
