#include "adapters/linux/x11/X11Connection.h"

#include <X11/Xatom.h>
#include <poll.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace sorvane::x11 {
namespace {

// Xlib's error handlers are process-wide; the connections opened here are
// found in this registry so that errors on anybody else's connection still go
// to the handler that was installed before ours.
struct Registry {
    std::mutex mutex;
    std::map<Display*, X11Connection*> connections;
    XErrorHandler previousError = nullptr;
    XIOErrorHandler previousIOError = nullptr;
};

Registry& registry() {
    static Registry r;
    return r;
}

X11Connection* lookup(Display* display) {
    std::lock_guard lock(registry().mutex);
    auto it = registry().connections.find(display);
    return it == registry().connections.end() ? nullptr : it->second;
}

int onIOError(Display* display) {
    if (lookup(display))
        return 0; // the per-connection exit handler marks it lost
    XIOErrorHandler previous;
    {
        std::lock_guard lock(registry().mutex);
        previous = registry().previousIOError;
    }
    return previous ? previous(display) : 0;
}

} // namespace

std::unique_ptr<X11Connection> X11Connection::open(const char* displayName) {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        r.previousError = XSetErrorHandler(&X11Connection::onError);
        r.previousIOError = XSetIOErrorHandler(&onIOError);
    });
    Display* display = XOpenDisplay(displayName);
    if (!display)
        return nullptr;
    std::unique_ptr<X11Connection> connection(new X11Connection(display));
    {
        std::lock_guard lock(registry().mutex);
        registry().connections[display] = connection.get();
    }
    XSetIOErrorExitHandler(display, &X11Connection::onIOErrorExit, connection.get());
    return connection;
}

X11Connection::X11Connection(Display* display)
    : m_display(display), m_root(DefaultRootWindow(display)) {}

X11Connection::~X11Connection() {
    if (!m_lost.load() || m_lostOn == std::this_thread::get_id())
        XCloseDisplay(m_display);
    std::lock_guard lock(registry().mutex);
    auto it = registry().connections.find(m_display);
    if (it != registry().connections.end() && it->second == this)
        registry().connections.erase(it);
}

int X11Connection::onError(Display* display, XErrorEvent* event) {
    if (X11Connection* connection = lookup(display)) {
        connection->m_errors.fetch_add(1);
        return 0;
    }
    XErrorHandler previous;
    {
        std::lock_guard lock(registry().mutex);
        previous = registry().previousError;
    }
    return previous ? previous(display, event) : 0;
}

void X11Connection::onIOErrorExit(Display*, void* self) {
    auto* connection = static_cast<X11Connection*>(self);
    connection->m_lostOn = std::this_thread::get_id();
    connection->m_lost = true;
}

std::string X11Connection::name() const {
    return DisplayString(m_display);
}

Atom X11Connection::atom(const std::string& name) {
    if (auto it = m_atoms.find(name); it != m_atoms.end())
        return it->second;
    const Atom a = XInternAtom(m_display, name.c_str(), False);
    if (a != None)
        m_atoms.emplace(name, a);
    return a;
}

std::vector<std::string> X11Connection::atomNames(const std::vector<Atom>& atoms) {
    std::vector<std::string> names(atoms.size());
    if (atoms.empty())
        return names;
    std::vector<Atom> request(atoms);
    std::vector<char*> raw(atoms.size(), nullptr);
    if (XGetAtomNames(m_display, request.data(), static_cast<int>(request.size()), raw.data())) {
        for (size_t i = 0; i < raw.size(); ++i)
            if (XPtr<char> owned{raw[i]})
                names[i] = owned.get();
        return names;
    }
    // One bad atom fails the batch: ask one by one.
    for (size_t i = 0; i < atoms.size(); ++i)
        if (XPtr<char> one{XGetAtomName(m_display, atoms[i])})
            names[i] = one.get();
    return names;
}

bool X11Connection::waitReadable(std::chrono::steady_clock::time_point deadline) {
    if (lost())
        return true;
    if (XPending(m_display) > 0)
        return true;
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        pollfd p{fd(), POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(std::min<long long>(left, 60000)));
        if (r > 0)
            return true;
        if (r < 0 && errno != EINTR)
            return true;
    }
}

std::optional<Property> readProperty(X11Connection& x, Window window, Atom property, bool remove) {
    if (x.lost())
        return std::nullopt;
    Property out;
    long offset = 0; // in 32-bit units
    for (;;) {
        Atom type = None;
        int format = 0;
        unsigned long items = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        // Ask for up to 4 MiB at a time; the server says how much is left.
        const int status =
            XGetWindowProperty(x.display(), window, property, offset, 1L << 20, False,
                               AnyPropertyType, &type, &format, &items, &after, &data);
        XPtr<unsigned char> owned(data);
        if (status != Success)
            return std::nullopt;
        if (type == None)
            return std::nullopt;
        if (offset == 0) {
            out.type = type;
            out.format = format;
        } else if (type != out.type || format != out.format) {
            return std::nullopt; // changed while we read it
        }
        const size_t unit = format == 8 ? 1 : format == 16 ? sizeof(short) : sizeof(long);
        if (items > 0 && data)
            out.data.insert(out.data.end(), data, data + items * unit);
        out.items += items;
        if (after == 0)
            break;
        offset += static_cast<long>(items * static_cast<unsigned long>(format) / 32);
    }
    if (remove)
        XDeleteProperty(x.display(), window, property);
    return out;
}

std::vector<unsigned long> longItems(const Property& p) {
    std::vector<unsigned long> out;
    if (p.format != 32)
        return out;
    out.resize(p.items);
    std::memcpy(out.data(), p.data.data(), std::min(p.data.size(), p.items * sizeof(long)));
    return out;
}

Window activeWindow(X11Connection& x) {
    const auto p = readProperty(x, x.root(), x.atom("_NET_ACTIVE_WINDOW"));
    if (!p || p->type != XA_WINDOW)
        return 0;
    const auto items = longItems(*p);
    return items.empty() ? 0 : static_cast<Window>(items.front());
}

std::optional<std::string> windowClass(X11Connection& x, Window window) {
    if (window == 0)
        return std::nullopt;
    const auto p = readProperty(x, window, XA_WM_CLASS);
    if (!p || p->format != 8)
        return std::nullopt;
    const std::string both(p->data.begin(), p->data.end());
    const size_t firstEnd = both.find('\0');
    if (firstEnd == std::string::npos)
        return std::nullopt;
    std::string cls = both.substr(firstEnd + 1);
    if (const size_t end = cls.find('\0'); end != std::string::npos)
        cls.resize(end);
    if (cls.empty())
        return std::nullopt;
    return cls;
}

int64_t windowPid(X11Connection& x, Window window) {
    if (window == 0)
        return 0;
    const auto p = readProperty(x, window, x.atom("_NET_WM_PID"));
    if (!p || p->type != XA_CARDINAL)
        return 0;
    const auto items = longItems(*p);
    return items.empty() ? 0 : static_cast<int64_t>(items.front());
}

} // namespace sorvane::x11
