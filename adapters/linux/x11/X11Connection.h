// X11Connection: one Xlib connection with the habits every X11 adapter here
// needs: X protocol errors never end the process (a window that vanishes under
// us is normal), a lost server marks the connection dead instead of calling
// exit(), atoms are interned once, and window properties are read whole.
//
// Thread-safety: a connection is used by one thread at a time; different
// connections may be used from different threads at once. lost() may be read
// from any thread.
#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sorvane::x11 {

// Owner of memory that Xlib hands out and XFree releases.
struct XFreeDeleter {
    void operator()(void* p) const {
        if (p)
            XFree(p);
    }
};
template <class T> using XPtr = std::unique_ptr<T, XFreeDeleter>;

class X11Connection {
public:
    // Opens `displayName` (nullptr: $DISPLAY). Null when there is no display.
    static std::unique_ptr<X11Connection> open(const char* displayName = nullptr);
    // Closes the connection. A connection lost on another thread stays open:
    // Xlib keeps it locked for that thread, and closing it here would hang.
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    Display* display() const { return m_display; }
    Window root() const { return m_root; }
    int fd() const { return ConnectionNumber(m_display); }
    // The display's name as Xlib resolved it.
    std::string name() const;

    // True once the server went away; every later request fails at once.
    bool lost() const { return m_lost.load(); }

    // The atom for `name`, interned on first use.
    Atom atom(const std::string& name);
    // Names of `atoms`, in order; an unknown atom gives an empty name.
    std::vector<std::string> atomNames(const std::vector<Atom>& atoms);

    // The number of X errors reported on this connection so far.
    uint64_t errorCount() const { return m_errors.load(); }

    // Waits until the connection has input or `deadline` passes; true when
    // input is readable (or the connection broke). Flushes output first.
    bool waitReadable(std::chrono::steady_clock::time_point deadline);

private:
    explicit X11Connection(Display* display);
    static int onError(Display* display, XErrorEvent* event);
    static void onIOErrorExit(Display* display, void* self);

    Display* m_display;
    Window m_root;
    std::thread::id m_lostOn; // written before m_lost is set
    std::atomic<bool> m_lost{false};
    std::atomic<uint64_t> m_errors{0};
    std::map<std::string, Atom> m_atoms;
};

// A window property read whole.
struct Property {
    Atom type = None;
    int format = 0; // 8, 16 or 32
    // Raw items: bytes for format 8; for format 32 one `long` per item, as Xlib
    // hands them out.
    std::vector<unsigned char> data;
    size_t items = 0;
};

// Reads `property` of `window`; absent when it does not exist or the window is
// gone. `remove` deletes it after reading (the INCR hand-shake).
std::optional<Property> readProperty(X11Connection& x, Window window, Atom property,
                                     bool remove = false);
// Format-32 items of `p` as unsigned longs.
std::vector<unsigned long> longItems(const Property& p);

// The client window of _NET_ACTIVE_WINDOW; 0 when none or no EWMH manager.
Window activeWindow(X11Connection& x);
// The class part of WM_CLASS ("instance\0class\0").
std::optional<std::string> windowClass(X11Connection& x, Window window);
// _NET_WM_PID; 0 when absent.
int64_t windowPid(X11Connection& x, Window window);

} // namespace sorvane::x11
