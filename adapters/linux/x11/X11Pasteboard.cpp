#include "adapters/linux/x11/X11Pasteboard.h"

#include "base/Log.h"
#include "adapters/linux/x11/X11Connection.h"
#include "adapters/linux/x11/X11SelectionOwner.h"
#include "base/Utf8.h"

#include <X11/Xatom.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>
#include <mutex>

namespace sorvane::x11 {
namespace {

std::string mebibytes(size_t bytes) {
    return std::to_string(bytes >> 20) + " MiB";
}

} // namespace

class X11Pasteboard::Reader {
public:
    Reader(std::unique_ptr<X11Connection> x, int fixesEventBase, const Options& options);
    int64_t changeCount();
    std::vector<std::string> types();
    std::optional<std::string> string();
    std::optional<std::string> frontmostApplicationID();

private:
    // Handles the events already received; never blocks.
    void pump();
    void dispatch(XEvent& event);
    bool connectionUsable();
    // Converts CLIPBOARD to `target`; absent when refused, empty or broken.
    // `timedOut` tells whether the owner failed to answer at all.
    std::optional<Property> convert(Atom target, bool* timedOut = nullptr);
    std::optional<Property> readIncr(std::chrono::steady_clock::time_point start);
    void replaceWindow();

    std::mutex m_mutex;
    // Closed (on the thread that noticed) once the server is gone.
    std::unique_ptr<X11Connection> m_x;
    const int m_fixesEventBase;
    const Options m_options;
    Window m_window = 0;
    Atom m_clipboard, m_targets, m_utf8, m_incr, m_property;
    int64_t m_count = 0;
    // Replies to the conversion in progress.
    bool m_replied = false;
    Atom m_replyProperty = None;
    uint64_t m_newValues = 0;
};

class X11Pasteboard::Writer {
public:
    explicit Writer(std::unique_ptr<X11SelectionOwner> owner) : m_owner(std::move(owner)) {}
    void writeString(const std::string& text) {
        if (!m_owner->publish(text))
            logLine("[SorvanePB] could not take the clipboard \u2014 text (" +
                    std::to_string(text.size()) + " bytes) not written");
    }

private:
    const std::unique_ptr<X11SelectionOwner> m_owner;
};

std::unique_ptr<X11Pasteboard> X11Pasteboard::open(const char* displayName, Options options) {
    auto reader = X11Connection::open(displayName);
    if (!reader)
        return nullptr;
    int eventBase = 0;
    int errorBase = 0;
    int major = 5;
    int minor = 0;
    if (!XFixesQueryExtension(reader->display(), &eventBase, &errorBase) ||
        !XFixesQueryVersion(reader->display(), &major, &minor)) {
        logLine("[SorvanePB] the X server " + reader->name() +
                " has no XFixes extension \u2014 clipboard changes cannot be watched");
        return nullptr;
    }
    X11SelectionOwner::Options ownerOptions;
    ownerOptions.transferTimeout = options.serveStallTimeout;
    ownerOptions.chunkBytes = options.serveChunkBytes;
    auto owner = X11SelectionOwner::open(displayName, ownerOptions);
    if (!owner)
        return nullptr;
    return std::unique_ptr<X11Pasteboard>(
        new X11Pasteboard(std::make_unique<Reader>(std::move(reader), eventBase, options),
                          std::make_unique<Writer>(std::move(owner))));
}

X11Pasteboard::X11Pasteboard(std::unique_ptr<Reader> reader, std::unique_ptr<Writer> writer)
    : m_reader(std::move(reader)), m_writer(std::move(writer)) {}

X11Pasteboard::~X11Pasteboard() = default;

int64_t X11Pasteboard::changeCount() {
    return m_reader->changeCount();
}
std::vector<std::string> X11Pasteboard::types() {
    return m_reader->types();
}
std::optional<std::string> X11Pasteboard::string() {
    return m_reader->string();
}
void X11Pasteboard::writeString(const std::string& text) {
    m_writer->writeString(text);
}
std::optional<std::string> X11Pasteboard::frontmostApplicationID() {
    return m_reader->frontmostApplicationID();
}

X11Pasteboard::Reader::Reader(std::unique_ptr<X11Connection> x, int fixesEventBase,
                              const Options& options)
    : m_x(std::move(x)), m_fixesEventBase(fixesEventBase), m_options(options) {
    m_clipboard = m_x->atom("CLIPBOARD");
    m_targets = m_x->atom("TARGETS");
    m_utf8 = m_x->atom("UTF8_STRING");
    m_incr = m_x->atom("INCR");
    m_property = m_x->atom("_SORVANE_SELECTION");
    XFixesSelectSelectionInput(m_x->display(), m_x->root(), m_clipboard,
                               XFixesSetSelectionOwnerNotifyMask |
                                   XFixesSelectionWindowDestroyNotifyMask |
                                   XFixesSelectionClientCloseNotifyMask);
    replaceWindow();
}

void X11Pasteboard::Reader::replaceWindow() {
    Display* d = m_x->display();
    if (m_window)
        XDestroyWindow(d, m_window);
    m_window = XCreateSimpleWindow(d, m_x->root(), -10, -10, 1, 1, 0, 0, 0);
    XSelectInput(d, m_window, PropertyChangeMask);
    XFlush(d);
}

bool X11Pasteboard::Reader::connectionUsable() {
    if (m_x && !m_x->lost())
        return true;
    if (m_x) {
        logLine("[SorvanePB] lost the connection to X server " + m_x->name() +
                " \u2014 clipboard watching stopped");
        // This thread met the loss, so it is the one that can close it.
        m_x.reset();
    }
    return false;
}

void X11Pasteboard::Reader::dispatch(XEvent& event) {
    if (event.type == m_fixesEventBase + XFixesSelectionNotify) {
        const auto& fixes = reinterpret_cast<const XFixesSelectionNotifyEvent&>(event);
        if (fixes.selection == m_clipboard)
            ++m_count;
        return;
    }
    if (event.type == SelectionNotify && event.xselection.requestor == m_window &&
        event.xselection.selection == m_clipboard) {
        m_replied = true;
        m_replyProperty = event.xselection.property;
        m_newValues = 0;
        return;
    }
    if (event.type == PropertyNotify && event.xproperty.window == m_window &&
        event.xproperty.atom == m_property && event.xproperty.state == PropertyNewValue)
        ++m_newValues;
}

void X11Pasteboard::Reader::pump() {
    Display* d = m_x->display();
    while (!m_x->lost() && XPending(d) > 0) {
        XEvent event;
        XNextEvent(d, &event);
        dispatch(event);
    }
}

int64_t X11Pasteboard::Reader::changeCount() {
    std::lock_guard lock(m_mutex);
    if (connectionUsable())
        pump();
    return m_count;
}

std::optional<Property> X11Pasteboard::Reader::convert(Atom target, bool* timedOut) {
    Display* d = m_x->display();
    if (XGetSelectionOwner(d, m_clipboard) == None)
        return std::nullopt;
    m_replied = false;
    m_replyProperty = None;
    XDeleteProperty(d, m_window, m_property);
    XConvertSelection(d, m_clipboard, target, m_property, m_window, CurrentTime);
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + m_options.conversionTimeout;
    while (!m_replied) {
        if (!m_x->waitReadable(deadline)) {
            logLine("[SorvanePB] the clipboard owner did not answer within " +
                    std::to_string(m_options.conversionTimeout.count()) + " ms");
            replaceWindow();
            if (timedOut)
                *timedOut = true;
            return std::nullopt;
        }
        if (!connectionUsable())
            return std::nullopt;
        pump();
    }
    if (m_replyProperty == None)
        return std::nullopt; // refused
    auto property = readProperty(*m_x, m_window, m_replyProperty, true);
    if (!property)
        return std::nullopt;
    if (property->type == m_incr)
        return readIncr(start);
    return property;
}

std::optional<Property>
X11Pasteboard::Reader::readIncr(std::chrono::steady_clock::time_point start) {
    // Deleting the INCR announcement (done by the read) asks for the first
    // piece; each piece read and deleted asks for the next; an empty one ends.
    Property whole;
    const auto overall = start + m_options.transferTimeout;
    auto abandon = [this](const std::string& why) -> std::optional<Property> {
        logLine("[SorvanePB] clipboard transfer abandoned: " + why);
        replaceWindow();
        return std::nullopt;
    };
    for (;;) {
        const auto deadline =
            std::min(overall, std::chrono::steady_clock::now() + m_options.stallTimeout);
        while (m_newValues == 0) {
            if (!m_x->waitReadable(deadline))
                return abandon("the owner stopped sending");
            if (!connectionUsable())
                return std::nullopt;
            pump();
        }
        --m_newValues;
        auto piece = readProperty(*m_x, m_window, m_property, true);
        if (!piece)
            continue; // a notification for a value already read
        if (piece->format != 8)
            return abandon("unexpected data format");
        if (whole.type == None) {
            whole.type = piece->type;
            whole.format = 8;
        }
        if (piece->items == 0)
            return whole;
        if (whole.data.size() + piece->data.size() > m_options.maxTextBytes)
            return abandon("larger than " + mebibytes(m_options.maxTextBytes));
        whole.data.insert(whole.data.end(), piece->data.begin(), piece->data.end());
        whole.items += piece->items;
    }
}

std::vector<std::string> X11Pasteboard::Reader::types() {
    std::lock_guard lock(m_mutex);
    if (!connectionUsable())
        return {};
    const auto property = convert(m_targets);
    if (!property || property->format != 32)
        return {};
    std::vector<Atom> atoms;
    for (unsigned long a : longItems(*property))
        if (a != None)
            atoms.push_back(static_cast<Atom>(a));
    auto names = m_x->atomNames(atoms);
    names.erase(std::remove(names.begin(), names.end(), std::string()), names.end());
    return names;
}

std::optional<std::string> X11Pasteboard::Reader::string() {
    std::lock_guard lock(m_mutex);
    if (!connectionUsable())
        return std::nullopt;
    bool latin1 = false;
    bool timedOut = false;
    auto property = convert(m_utf8, &timedOut);
    if (!property && !timedOut && m_x && !m_x->lost()) {
        // Owners from before UTF-8 offer STRING only.
        property = convert(XA_STRING);
        latin1 = true;
    }
    if (!property || property->format != 8)
        return std::nullopt;
    if (property->data.size() > m_options.maxTextBytes) {
        logLine("[SorvanePB] clipboard text larger than " + mebibytes(m_options.maxTextBytes) +
                " \u2014 ignored");
        return std::nullopt;
    }
    std::string text(property->data.begin(), property->data.end());
    if (latin1 || property->type == XA_STRING)
        return latin1ToUtf8(text);
    if (!isValidUtf8(ByteView(property->data.data(), property->data.size()))) {
        logLine("[SorvanePB] ignored \u2014 clipboard text is not valid UTF-8");
        return std::nullopt;
    }
    return text;
}

std::optional<std::string> X11Pasteboard::Reader::frontmostApplicationID() {
    std::lock_guard lock(m_mutex);
    if (!connectionUsable())
        return std::nullopt;
    return windowClass(*m_x, activeWindow(*m_x));
}

} // namespace sorvane::x11
