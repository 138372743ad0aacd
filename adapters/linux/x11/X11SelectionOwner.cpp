#include "adapters/linux/x11/X11SelectionOwner.h"

#include <X11/Xatom.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <vector>

namespace sorvane::x11 {
namespace {

constexpr size_t kMaxChunk = 256 * 1024;

// Wrap-safe "a is earlier than b" for X timestamps (32-bit milliseconds).
bool earlier(Time a, Time b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b)) < 0;
}

} // namespace

std::string utf8ToLatin1(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        int length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
        if (c >= 0xF5)
            length = 0;
        bool wellFormed = length > 0 && i + static_cast<size_t>(length) <= text.size();
        for (int k = 1; wellFormed && k < length; ++k)
            wellFormed =
                (static_cast<unsigned char>(text[i + static_cast<size_t>(k)]) & 0xC0) == 0x80;
        if (!wellFormed) {
            out.push_back('?');
            ++i;
            continue;
        }
        if (length == 2) {
            const unsigned cp =
                ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
            out.push_back(cp <= 0xFF ? static_cast<char>(cp) : '?');
        } else {
            out.push_back('?');
        }
        i += static_cast<size_t>(length);
    }
    return out;
}

std::string latin1ToUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out.push_back(ch);
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::unique_ptr<X11SelectionOwner> X11SelectionOwner::open(const char* displayName,
                                                           Options options) {
    auto connection = X11Connection::open(displayName);
    if (!connection)
        return nullptr;
    UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.valid())
        return nullptr;
    return std::unique_ptr<X11SelectionOwner>(
        new X11SelectionOwner(std::move(connection), std::move(wake), options));
}

X11SelectionOwner::X11SelectionOwner(std::unique_ptr<X11Connection> connection, UniqueFd wakeFd,
                                     Options options)
    : m_x(std::move(connection)), m_wakeFd(std::move(wakeFd)), m_options(options) {
    Display* d = m_x->display();
    m_window = XCreateSimpleWindow(d, m_x->root(), -10, -10, 1, 1, 0, 0, 0);
    XSelectInput(d, m_window, PropertyChangeMask);
    XStoreName(d, m_window, "sorvane clipboard");
    m_clipboard = m_x->atom("CLIPBOARD");
    m_targets = m_x->atom("TARGETS");
    m_timestamp = m_x->atom("TIMESTAMP");
    m_multiple = m_x->atom("MULTIPLE");
    m_utf8 = m_x->atom("UTF8_STRING");
    m_text = m_x->atom("TEXT");
    m_textPlainUtf8 = m_x->atom("text/plain;charset=utf-8");
    m_incr = m_x->atom("INCR");
    m_timestampProperty = m_x->atom("_SORVANE_TIMESTAMP");

    // The largest ChangeProperty request, less its header and some margin.
    long maxRequest = XExtendedMaxRequestSize(d);
    if (maxRequest == 0)
        maxRequest = XMaxRequestSize(d);
    const size_t serverLimit = static_cast<size_t>(maxRequest) * 4 - 128;
    m_chunkBytes = std::min(kMaxChunk, serverLimit);
    if (options.chunkBytes > 0)
        m_chunkBytes = std::min(options.chunkBytes, serverLimit);
    XFlush(d);
    m_thread = std::thread([this] { run(); });
}

X11SelectionOwner::~X11SelectionOwner() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    const uint64_t one = 1;
    (void)!write(m_wakeFd.get(), &one, sizeof one);
    m_thread.join();
}

bool X11SelectionOwner::publish(const std::string& text) {
    std::unique_lock lock(m_mutex);
    if (m_stopping || m_x->lost())
        return false;
    m_pending = std::make_shared<const std::string>(text);
    const uint64_t ticket = ++m_requested;
    const uint64_t one = 1;
    (void)!write(m_wakeFd.get(), &one, sizeof one);
    const bool answered = m_done.wait_for(lock, m_options.publishTimeout,
                                          [&] { return m_answered >= ticket || m_stopping; });
    return answered && m_granted >= ticket;
}

void X11SelectionOwner::run() {
    pthread_setname_np(pthread_self(), "x11.clip.owner");
    serve();
    if (!m_x->lost()) {
        XDestroyWindow(m_x->display(), m_window);
        XFlush(m_x->display());
    }
    m_x.reset();
}

void X11SelectionOwner::serve() {
    Display* d = m_x->display();
    for (;;) {
        std::shared_ptr<const std::string> pending;
        uint64_t ticket = 0;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping)
                return;
            pending = std::move(m_pending);
            ticket = m_requested;
        }
        if (pending) {
            const bool granted = takeOwnership(std::move(pending));
            std::lock_guard lock(m_mutex);
            if (granted)
                m_granted = ticket;
            m_answered = ticket;
            m_done.notify_all();
        }
        if (m_x->lost()) {
            // Nothing more can be served; wait only for the destructor.
            {
                std::lock_guard lock(m_mutex);
                m_answered = m_requested;
                m_done.notify_all();
            }
            pollfd p{m_wakeFd.get(), POLLIN, 0};
            poll(&p, 1, -1);
            uint64_t drained;
            (void)!read(m_wakeFd.get(), &drained, sizeof drained);
            continue;
        }

        while (!m_x->lost() && XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
            handleEvent(event);
        }
        expireTransfers();
        XFlush(d);
        // Flushing also reads whatever the server has sent into Xlib's queue,
        // where the poll below would never see it: a requestor's next step
        // would wait until some other event woke this thread.
        if (!m_x->lost() && XEventsQueued(d, QueuedAlready) > 0)
            continue;

        int timeout = -1;
        if (!m_transfers.empty()) {
            auto next = m_transfers.front().deadline;
            for (const auto& t : m_transfers)
                next = std::min(next, t.deadline);
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                next - std::chrono::steady_clock::now());
            timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, 60000));
        }
        pollfd fds[2] = {{m_x->fd(), POLLIN, 0}, {m_wakeFd.get(), POLLIN, 0}};
        poll(fds, 2, timeout);
        if (fds[1].revents & POLLIN) {
            uint64_t drained;
            (void)!read(m_wakeFd.get(), &drained, sizeof drained);
        }
    }
}

std::optional<Time> X11SelectionOwner::serverTime() {
    // Appending nothing to a property of our own window makes the server send
    // a PropertyNotify that carries its current time.
    Display* d = m_x->display();
    XChangeProperty(d, m_window, m_timestampProperty, XA_STRING, 8, PropModeAppend, nullptr, 0);
    XFlush(d);
    const auto deadline = std::chrono::steady_clock::now() + m_options.publishTimeout;
    struct Match {
        Window window;
        Atom atom;
    } match{m_window, m_timestampProperty};
    auto isOurs = [](Display*, XEvent* e, XPointer arg) -> Bool {
        const auto* m = reinterpret_cast<const Match*>(arg);
        return e->type == PropertyNotify && e->xproperty.window == m->window &&
               e->xproperty.atom == m->atom;
    };
    for (;;) {
        XEvent event;
        if (XCheckIfEvent(d, &event, isOurs, reinterpret_cast<XPointer>(&match)))
            return event.xproperty.time;
        if (m_x->lost() || !m_x->waitReadable(deadline))
            return std::nullopt;
    }
}

bool X11SelectionOwner::takeOwnership(std::shared_ptr<const std::string> text) {
    Display* d = m_x->display();
    const std::optional<Time> now = serverTime();
    if (!now)
        return false;
    XSetSelectionOwner(d, m_clipboard, m_window, *now);
    if (m_x->lost() || XGetSelectionOwner(d, m_clipboard) != m_window)
        return false; // gone, or a newer owner already
    m_current = std::move(text);
    m_ownedSince = *now;
    return true;
}

void X11SelectionOwner::handleEvent(XEvent& event) {
    switch (event.type) {
    case SelectionRequest:
        answerRequest(event.xselectionrequest);
        break;
    case SelectionClear:
        if (event.xselectionclear.selection == m_clipboard &&
            !earlier(event.xselectionclear.time, m_ownedSince))
            m_current.reset();
        break;
    case PropertyNotify:
        if (event.xproperty.state == PropertyDelete && event.xproperty.window != m_window)
            continueTransfer(event.xproperty.window, event.xproperty.atom);
        break;
    case DestroyNotify:
        dropTransfers(event.xdestroywindow.window);
        break;
    default:
        break;
    }
}

void X11SelectionOwner::answerRequest(const XSelectionRequestEvent& request) {
    XEvent reply{};
    reply.xselection.type = SelectionNotify;
    reply.xselection.display = request.display;
    reply.xselection.requestor = request.requestor;
    reply.xselection.selection = request.selection;
    reply.xselection.target = request.target;
    reply.xselection.time = request.time;
    reply.xselection.property = None;
    // Obsolete clients name no property: use the target's name.
    const Atom property = request.property == None ? request.target : request.property;
    const bool current = request.selection == m_clipboard && m_current &&
                         (request.time == CurrentTime || !earlier(request.time, m_ownedSince));
    if (current && request.target != m_multiple &&
        convert(request.requestor, request.target, property))
        reply.xselection.property = property;
    // A requestor that is gone by now only costs an X error, which is ignored.
    XSendEvent(m_x->display(), request.requestor, False, NoEventMask, &reply);
    XFlush(m_x->display());
}

bool X11SelectionOwner::convert(Window requestor, Atom target, Atom property) {
    Display* d = m_x->display();
    if (target == m_targets) {
        const long atoms[] = {static_cast<long>(m_targets),       static_cast<long>(m_timestamp),
                              static_cast<long>(m_utf8),          static_cast<long>(m_text),
                              static_cast<long>(m_textPlainUtf8), static_cast<long>(XA_STRING)};
        XChangeProperty(d, requestor, property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(atoms), 6);
        return true;
    }
    if (target == m_timestamp) {
        const long time = static_cast<long>(m_ownedSince);
        XChangeProperty(d, requestor, property, XA_INTEGER, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&time), 1);
        return true;
    }
    std::shared_ptr<const std::string> data;
    Atom type = target;
    if (target == m_utf8 || target == m_textPlainUtf8) {
        data = m_current;
    } else if (target == m_text) {
        data = m_current;
        type = m_utf8;
    } else if (target == XA_STRING) {
        data = std::make_shared<const std::string>(utf8ToLatin1(*m_current));
    } else {
        return false;
    }

    if (data->size() <= m_chunkBytes) {
        XChangeProperty(d, requestor, property, type, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(data->data()),
                        static_cast<int>(data->size()));
        return true;
    }
    // INCR: announce the size; each deletion of the property by the requestor
    // asks for the next piece.
    XSelectInput(d, requestor, PropertyChangeMask | StructureNotifyMask);
    const long size = static_cast<long>(data->size());
    XChangeProperty(d, requestor, property, m_incr, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&size), 1);
    m_transfers.push_back(Transfer{requestor, property, type, std::move(data), 0,
                                   std::chrono::steady_clock::now() + m_options.transferTimeout});
    return true;
}

void X11SelectionOwner::continueTransfer(Window requestor, Atom property) {
    auto it = std::find_if(m_transfers.begin(), m_transfers.end(), [&](const Transfer& t) {
        return t.requestor == requestor && t.property == property;
    });
    if (it == m_transfers.end())
        return;
    Display* d = m_x->display();
    const size_t left = it->data->size() - it->offset;
    const size_t piece = std::min(left, m_chunkBytes);
    // The last piece is empty: that ends the transfer.
    XChangeProperty(d, requestor, property, it->type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(it->data->data() + it->offset),
                    static_cast<int>(piece));
    XFlush(d);
    if (piece == 0) {
        m_transfers.erase(it);
        releaseRequestor(requestor);
        return;
    }
    it->offset += piece;
    it->deadline = std::chrono::steady_clock::now() + m_options.transferTimeout;
}

void X11SelectionOwner::dropTransfers(Window requestor) {
    m_transfers.remove_if([&](const Transfer& t) { return t.requestor == requestor; });
}

void X11SelectionOwner::expireTransfers() {
    const auto now = std::chrono::steady_clock::now();
    std::vector<Window> stalled;
    for (const auto& t : m_transfers)
        if (t.deadline <= now)
            stalled.push_back(t.requestor);
    for (Window w : stalled) {
        dropTransfers(w);
        releaseRequestor(w);
    }
}

void X11SelectionOwner::releaseRequestor(Window requestor) {
    const bool busy = std::any_of(m_transfers.begin(), m_transfers.end(),
                                  [&](const Transfer& t) { return t.requestor == requestor; });
    if (!busy)
        XSelectInput(m_x->display(), requestor, NoEventMask);
}

} // namespace sorvane::x11
