#include "adapters/linux/wayland/WaylandPasteboard.h"

#include "adapters/linux/wayland/DataControlProtocol.h"
#include "base/Log.h"
#include "base/Thread.h"
#include "base/ThreadSafety.h"
#include "base/UniqueFd.h"
#include "base/Utf8.h"
#include "base/WakeupFd.h"

#include <wayland-client.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <thread>

namespace sorvane::wayland {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What we offer our own texts as, and what we read, best first.
constexpr std::array<const char*, 5> kOfferedTypes{"text/plain;charset=utf-8", "UTF8_STRING",
                                                   "text/plain", "TEXT", "STRING"};
constexpr std::array<const char*, 3> kReadTypes{"text/plain;charset=utf-8", "UTF8_STRING",
                                                "text/plain"};
constexpr size_t kPipeChunk = 64u << 10;

std::string mebibytes(size_t bytes) {
    return std::to_string(bytes >> 20) + " MiB";
}

std::string displayName(const char* display) {
    if (display)
        return display;
    const char* env = std::getenv("WAYLAND_DISPLAY");
    return env ? env : "wayland-0";
}

int pollTimeout(Clock::time_point until) {
    const auto left = std::chrono::ceil<milliseconds>(until - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60000));
}

// Waits for the compositor to answer everything sent so far, dispatching what
// arrives meanwhile on the calling thread; false on a lost connection or when
// no answer comes within `timeout`. For the thread that owns the queue only.
bool roundtrip(wl_display* display, milliseconds timeout) {
    bool done = false;
    static const wl_callback_listener listener{
        [](void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }};
    wl_callback* callback = wl_display_sync(display);
    wl_callback_add_listener(callback, &listener, &done);
    const auto until = Clock::now() + timeout;
    while (!done) {
        bool failed = false;
        while (!failed && wl_display_prepare_read(display) != 0)
            failed = wl_display_dispatch_pending(display) < 0;
        if (failed)
            break;
        if (done) {
            wl_display_cancel_read(display);
            break;
        }
        if (wl_display_flush(display) < 0 && errno != EAGAIN) {
            wl_display_cancel_read(display);
            break;
        }
        pollfd fd{wl_display_get_fd(display), POLLIN, 0};
        const int ready = poll(&fd, 1, pollTimeout(until));
        if (ready <= 0) {
            wl_display_cancel_read(display);
            if (ready < 0 && errno == EINTR)
                continue;
            break;
        }
        if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0)
            break;
    }
    wl_callback_destroy(callback);
    return done;
}

// The globals a data-control client needs, as the registry lists them.
struct Globals {
    uint32_t seat = 0;
    uint32_t seatVersion = 0;
    std::map<const DataControlProtocol*, std::pair<uint32_t, uint32_t>> managers; // name, version

    const DataControlProtocol* preferred() const {
        if (managers.count(&kExtDataControl))
            return &kExtDataControl;
        if (managers.count(&kWlrDataControl))
            return &kWlrDataControl;
        return nullptr;
    }
};

const wl_registry_listener kRegistryListener{
    [](void* data, wl_registry*, uint32_t name, const char* interface, uint32_t version) {
        auto* globals = static_cast<Globals*>(data);
        if (std::strcmp(interface, wl_seat_interface.name) == 0 && globals->seat == 0) {
            globals->seat = name;
            globals->seatVersion = version;
        } else if (const DataControlProtocol* protocol = dataControlByGlobal(interface)) {
            globals->managers[protocol] = {name, version};
        }
    },
    [](void*, wl_registry*, uint32_t) {},
};

struct DisplayDeleter {
    void operator()(wl_display* display) const { wl_display_disconnect(display); }
};
using DisplayPtr = std::unique_ptr<wl_display, DisplayDeleter>;

} // namespace

// The connection, its proxies and the dispatch thread.
class WaylandPasteboard::Session {
public:
    Session(DisplayPtr display, std::string name, const DataControlProtocol& protocol,
            const Options& options)
        : m_display(std::move(display)), m_name(std::move(name)), m_protocol(protocol),
          m_options(options) {}
    ~Session();

    // Binds the manager and the seat, makes the device and waits for its first
    // selection; then starts the dispatch thread. False (logged) on failure.
    // Destroys `registry` in any case.
    bool start(wl_registry* registry, const Globals& globals);
    const DataControlProtocol& protocol() const { return m_protocol; }

    int64_t changeCount() SORVANE_EXCLUDES(m_mutex);
    std::vector<std::string> types() SORVANE_EXCLUDES(m_mutex);
    std::optional<std::string> string() SORVANE_EXCLUDES(m_mutex);
    void writeString(const std::string& text) SORVANE_EXCLUDES(m_mutex);

private:
    // A source of ours, served until the compositor cancels it.
    struct Source {
        wl_proxy* proxy;
        std::shared_ptr<const std::string> text;
    };
    // One reader of one of our texts.
    struct Transfer {
        UniqueFd fd;
        std::shared_ptr<const std::string> text;
        size_t sent = 0;
        Clock::time_point lastProgress;
    };

    void run() SORVANE_EXCLUDES(m_mutex);
    void startPendingWrite() SORVANE_EXCLUDES(m_mutex);
    void serve(const std::vector<pollfd>& fds) SORVANE_EXCLUDES(m_mutex);
    void lose(const std::string& why) SORVANE_EXCLUDES(m_mutex);
    std::optional<std::string> readText(int fd);

    // Event handlers, on the dispatch thread (on the opening thread during start()).
    void onDataOffer(wl_proxy* offer);
    void onOfferType(wl_proxy* offer, const char* mimeType);
    void onSelection(wl_proxy* offer) SORVANE_EXCLUDES(m_mutex);
    void onPrimarySelection(wl_proxy* offer);
    void onSend(wl_proxy* source, int fd);
    void onCancelled(wl_proxy* source);
    void onSyncDone(wl_callback* callback) SORVANE_EXCLUDES(m_mutex);

    static const DataControlDeviceListener kDeviceListener;
    static const DataControlOfferListener kOfferListener;
    static const DataControlSourceListener kSourceListener;
    static const wl_callback_listener kSyncListener;

    const DisplayPtr m_display;
    const std::string m_name;
    const DataControlProtocol& m_protocol;
    const Options m_options;
    WakeupFd m_wakeup;
    std::thread m_thread;

    // Made in start(), destroyed by the destructor once the thread is gone.
    wl_seat* m_seat = nullptr;
    wl_proxy* m_manager = nullptr;
    wl_proxy* m_device = nullptr;

    Mutex m_mutex;
    std::condition_variable m_confirmed; // m_writeConfirmed moved or the connection was lost
    int64_t m_count SORVANE_GUARDED_BY(m_mutex) = 0;
    // The current selection's offer, destroyed under the mutex so that a
    // reader can send requests on it meanwhile.
    wl_proxy* m_offer SORVANE_GUARDED_BY(m_mutex) = nullptr;
    std::vector<std::string> m_types SORVANE_GUARDED_BY(m_mutex);
    bool m_lost SORVANE_GUARDED_BY(m_mutex) = false;
    bool m_stopping SORVANE_GUARDED_BY(m_mutex) = false;
    std::shared_ptr<const std::string> m_pendingWrite SORVANE_GUARDED_BY(m_mutex);
    uint64_t m_writeRequested SORVANE_GUARDED_BY(m_mutex) = 0;
    uint64_t m_writeConfirmed SORVANE_GUARDED_BY(m_mutex) = 0;

    // The dispatch thread's own.
    std::map<wl_proxy*, std::vector<std::string>> m_announced; // offers not yet a selection
    std::list<Source> m_sources;
    std::list<Transfer> m_transfers;
    std::map<wl_callback*, uint64_t> m_syncs; // the write each round trip confirms
};

const DataControlDeviceListener WaylandPasteboard::Session::kDeviceListener{
    [](void* data, wl_proxy*, wl_proxy* offer) { static_cast<Session*>(data)->onDataOffer(offer); },
    [](void* data, wl_proxy*, wl_proxy* offer) { static_cast<Session*>(data)->onSelection(offer); },
    [](void* data, wl_proxy*) {
        static_cast<Session*>(data)->lose("the compositor withdrew clipboard access");
    },
    [](void* data, wl_proxy*, wl_proxy* offer) {
        static_cast<Session*>(data)->onPrimarySelection(offer);
    },
};

const DataControlOfferListener WaylandPasteboard::Session::kOfferListener{
    [](void* data, wl_proxy* offer, const char* mimeType) {
        static_cast<Session*>(data)->onOfferType(offer, mimeType);
    },
};

const DataControlSourceListener WaylandPasteboard::Session::kSourceListener{
    [](void* data, wl_proxy* source, const char*, int32_t fd) {
        static_cast<Session*>(data)->onSend(source, fd);
    },
    [](void* data, wl_proxy* source) { static_cast<Session*>(data)->onCancelled(source); },
};

const wl_callback_listener WaylandPasteboard::Session::kSyncListener{
    [](void* data, wl_callback* callback, uint32_t) {
        static_cast<Session*>(data)->onSyncDone(callback);
    },
};

bool WaylandPasteboard::Session::start(wl_registry* registry, const Globals& globals) {
    if (!m_wakeup.valid()) {
        logLine("[SorvanePB] cannot make a wake-up pipe: " + std::string(std::strerror(errno)));
        wl_registry_destroy(registry);
        return false;
    }
    const auto& [managerName, managerVersion] = globals.managers.at(&m_protocol);
    m_manager = static_cast<wl_proxy*>(wl_registry_bind(
        registry, managerName, m_protocol.manager, std::min(managerVersion, m_protocol.version)));
    m_seat = static_cast<wl_seat*>(
        wl_registry_bind(registry, globals.seat, &wl_seat_interface, 1));
    wl_registry_destroy(registry);
    m_device = getDataDevice(m_protocol, m_manager, m_seat);
    addDeviceListener(m_device, kDeviceListener, this);
    // The first selection event comes with the device: counted before anyone
    // reads the count, so that what is on the clipboard now is not a change.
    if (!roundtrip(m_display.get(), m_options.writeTimeout)) {
        logLine("[SorvanePB] the Wayland compositor " + m_name +
                " did not answer \u2014 clipboard changes cannot be watched");
        return false;
    }
    m_thread = std::thread([this] { run(); });
    setThreadName(m_thread, kDispatchThreadName);
    return true;
}

WaylandPasteboard::Session::~Session() {
    {
        MutexLock lock(m_mutex);
        m_stopping = true;
    }
    m_wakeup.notify();
    if (m_thread.joinable())
        m_thread.join();
    // The thread is gone: everything below is this thread's now.
    for (auto& [offer, types] : m_announced)
        destroyOffer(offer);
    for (const Source& source : m_sources)
        destroySource(source.proxy);
    for (auto& [callback, serial] : m_syncs)
        wl_callback_destroy(callback);
    {
        MutexLock lock(m_mutex);
        if (m_offer)
            destroyOffer(m_offer);
    }
    if (m_device)
        destroyDevice(m_device);
    if (m_manager)
        destroyManager(m_manager);
    if (m_seat)
        wl_seat_destroy(m_seat);
    wl_display_flush(m_display.get());
}

void WaylandPasteboard::Session::run() {
    // A reader that closes its pipe early must not end the program with SIGPIPE.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

    wl_display* display = m_display.get();
    std::vector<pollfd> fds;
    for (;;) {
        {
            MutexLock lock(m_mutex);
            if (m_stopping || m_lost)
                break;
        }
        startPendingWrite();
        bool failed = false;
        while (!failed && wl_display_prepare_read(display) != 0)
            failed = wl_display_dispatch_pending(display) < 0;
        if (failed) {
            lose("");
            break;
        }
        const bool flushed = wl_display_flush(display) >= 0;
        if (!flushed && errno != EAGAIN) {
            wl_display_cancel_read(display);
            lose("");
            break;
        }

        fds.clear();
        fds.push_back({wl_display_get_fd(display), short(POLLIN | (flushed ? 0 : POLLOUT)), 0});
        fds.push_back({m_wakeup.fd(), POLLIN, 0});
        auto until = Clock::now() + std::chrono::hours(1);
        for (const Transfer& transfer : m_transfers) {
            fds.push_back({transfer.fd.get(), POLLOUT, 0});
            until = std::min(until, transfer.lastProgress + m_options.serveStallTimeout);
        }
        const int ready = poll(fds.data(), fds.size(), m_transfers.empty() ? -1 : pollTimeout(until));
        if (ready > 0 && (fds[0].revents & (POLLIN | POLLERR | POLLHUP))) {
            if (wl_display_read_events(display) < 0) {
                lose("");
                break;
            }
        } else {
            wl_display_cancel_read(display);
        }
        if (wl_display_dispatch_pending(display) < 0) {
            lose("");
            break;
        }
        if (fds[1].revents & POLLIN)
            m_wakeup.drain();
        serve(fds);
    }
    m_transfers.clear();
}

void WaylandPasteboard::Session::lose(const std::string& why) {
    {
        MutexLock lock(m_mutex);
        if (m_lost || m_stopping)
            return;
        m_lost = true;
        m_types.clear();
    }
    m_confirmed.notify_all();
    const int error = wl_display_get_error(m_display.get());
    logLine("[SorvanePB] lost the connection to the Wayland compositor " + m_name + " (" +
            (!why.empty() ? why : error ? std::strerror(error) : "connection closed") +
            ") \u2014 clipboard watching stopped");
}

void WaylandPasteboard::Session::startPendingWrite() {
    std::shared_ptr<const std::string> text;
    uint64_t serial = 0;
    {
        MutexLock lock(m_mutex);
        if (!m_pendingWrite)
            return;
        text = std::move(m_pendingWrite);
        serial = m_writeRequested;
    }
    wl_proxy* source = createDataSource(m_protocol, m_manager);
    m_sources.push_back({source, std::move(text)});
    addSourceListener(source, kSourceListener, this);
    for (const char* type : kOfferedTypes)
        offerMimeType(source, type);
    setSelection(m_device, source);
    // Events come in order: once this round trip is back, the selection event
    // for our source has been counted.
    wl_callback* callback = wl_display_sync(m_display.get());
    wl_callback_add_listener(callback, &kSyncListener, this);
    m_syncs[callback] = serial;
}

void WaylandPasteboard::Session::onSyncDone(wl_callback* callback) {
    const auto it = m_syncs.find(callback);
    if (it == m_syncs.end())
        return;
    const uint64_t serial = it->second;
    m_syncs.erase(it);
    wl_callback_destroy(callback);
    {
        MutexLock lock(m_mutex);
        m_writeConfirmed = std::max(m_writeConfirmed, serial);
    }
    m_confirmed.notify_all();
}

void WaylandPasteboard::Session::onDataOffer(wl_proxy* offer) {
    m_announced[offer];
    addOfferListener(offer, kOfferListener, this);
}

void WaylandPasteboard::Session::onOfferType(wl_proxy* offer, const char* mimeType) {
    const auto it = m_announced.find(offer);
    if (it != m_announced.end())
        it->second.emplace_back(mimeType);
}

void WaylandPasteboard::Session::onSelection(wl_proxy* offer) {
    std::vector<std::string> types;
    if (const auto it = m_announced.find(offer); offer && it != m_announced.end()) {
        types = std::move(it->second);
        m_announced.erase(it);
    }
    MutexLock lock(m_mutex);
    if (m_offer)
        destroyOffer(m_offer);
    m_offer = offer;
    m_types = std::move(types);
    ++m_count;
}

void WaylandPasteboard::Session::onPrimarySelection(wl_proxy* offer) {
    // Only the clipboard is watched.
    if (!offer)
        return;
    m_announced.erase(offer);
    destroyOffer(offer);
}

void WaylandPasteboard::Session::onSend(wl_proxy* source, int fd) {
    UniqueFd pipe(fd);
    const auto it = std::find_if(m_sources.begin(), m_sources.end(),
                                 [&](const Source& s) { return s.proxy == source; });
    if (it == m_sources.end())
        return;
    const int flags = fcntl(pipe.get(), F_GETFL);
    if (flags < 0 || fcntl(pipe.get(), F_SETFL, flags | O_NONBLOCK) < 0)
        return;
    m_transfers.push_back({std::move(pipe), it->text, 0, Clock::now()});
}

void WaylandPasteboard::Session::onCancelled(wl_proxy* source) {
    // Replaced by another: readers already served go on from their own reference.
    const auto it = std::find_if(m_sources.begin(), m_sources.end(),
                                 [&](const Source& s) { return s.proxy == source; });
    if (it != m_sources.end())
        m_sources.erase(it);
    destroySource(source);
}

void WaylandPasteboard::Session::serve(const std::vector<pollfd>& fds) {
    const auto now = Clock::now();
    size_t index = 2; // after the display and the wake-up
    for (auto it = m_transfers.begin(); it != m_transfers.end(); ++index) {
        Transfer& transfer = *it;
        bool done = false;
        if (index < fds.size() && fds[index].revents != 0) {
            const std::string& text = *transfer.text;
            while (transfer.sent < text.size()) {
                const size_t piece = std::min(kPipeChunk, text.size() - transfer.sent);
                const ssize_t n = ::write(transfer.fd.get(), text.data() + transfer.sent, piece);
                if (n > 0) {
                    transfer.sent += size_t(n);
                    transfer.lastProgress = now;
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0 && errno != EAGAIN) {
                    // The reader went away; take the SIGPIPE it left pending.
                    sigset_t pipeSignal;
                    sigemptyset(&pipeSignal);
                    sigaddset(&pipeSignal, SIGPIPE);
                    const timespec none{0, 0};
                    sigtimedwait(&pipeSignal, nullptr, &none);
                    done = true;
                }
                break;
            }
            done = done || transfer.sent == text.size();
        }
        if (!done && now - transfer.lastProgress >= m_options.serveStallTimeout) {
            logLine("[SorvanePB] dropped a clipboard reader that stopped reading (" +
                    std::to_string(transfer.sent) + " of " +
                    std::to_string(transfer.text->size()) + " bytes sent)");
            done = true;
        }
        it = done ? m_transfers.erase(it) : std::next(it);
    }
}

int64_t WaylandPasteboard::Session::changeCount() {
    MutexLock lock(m_mutex);
    return m_count;
}

std::vector<std::string> WaylandPasteboard::Session::types() {
    MutexLock lock(m_mutex);
    return m_types;
}

std::optional<std::string> WaylandPasteboard::Session::string() {
    UniqueFd readEnd;
    {
        MutexLock lock(m_mutex);
        if (m_lost || !m_offer)
            return std::nullopt;
        const auto type = std::find_first_of(kReadTypes.begin(), kReadTypes.end(),
                                             m_types.begin(), m_types.end());
        if (type == kReadTypes.end())
            return std::nullopt; // not text
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            logLine("[SorvanePB] cannot make a pipe to read the clipboard: " +
                    std::string(std::strerror(errno)));
            return std::nullopt;
        }
        readEnd.reset(ends[0]);
        const UniqueFd writeEnd(ends[1]); // the request carries a copy
        receive(m_offer, *type, writeEnd.get());
    }
    if (wl_display_flush(m_display.get()) < 0 && errno == EAGAIN)
        m_wakeup.notify(); // the dispatch thread sends the rest
    return readText(readEnd.get());
}

std::optional<std::string> WaylandPasteboard::Session::readText(int fd) {
    const auto start = Clock::now();
    const auto overall = start + m_options.transferTimeout;
    auto last = start;
    bool answered = false;
    std::string text;
    std::vector<char> buffer(kPipeChunk);
    for (;;) {
        const auto until = answered ? std::min(overall, last + m_options.stallTimeout)
                                    : std::min(overall, start + m_options.conversionTimeout);
        pollfd readable{fd, POLLIN, 0};
        const int ready = poll(&readable, 1, pollTimeout(until));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            if (!answered)
                logLine("[SorvanePB] the clipboard owner did not answer within " +
                        std::to_string(m_options.conversionTimeout.count()) + " ms");
            else
                logLine("[SorvanePB] clipboard transfer abandoned: the owner stopped sending");
            return std::nullopt;
        }
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0) {
            logLine("[SorvanePB] clipboard transfer abandoned: " +
                    std::string(std::strerror(errno)));
            return std::nullopt;
        }
        if (n == 0)
            break;
        answered = true;
        last = Clock::now();
        if (text.size() + size_t(n) > m_options.maxTextBytes) {
            logLine("[SorvanePB] clipboard transfer abandoned: larger than " +
                    mebibytes(m_options.maxTextBytes));
            return std::nullopt;
        }
        text.append(buffer.data(), size_t(n));
    }
    if (!isValidUtf8(std::string_view(text))) {
        logLine("[SorvanePB] ignored \u2014 clipboard text is not valid UTF-8");
        return std::nullopt;
    }
    return text;
}

void WaylandPasteboard::Session::writeString(const std::string& text) {
    uint64_t serial = 0;
    bool lost = false;
    {
        MutexLock lock(m_mutex);
        lost = m_lost;
        if (!lost) {
            m_pendingWrite = std::make_shared<const std::string>(text);
            serial = ++m_writeRequested;
        }
    }
    bool confirmed = false;
    if (!lost) {
        m_wakeup.notify();
        std::unique_lock lock(m_mutex.native());
        confirmed = m_confirmed.wait_for(lock, m_options.writeTimeout,
                                         [&]() SORVANE_NO_THREAD_SAFETY_ANALYSIS {
                                             return m_writeConfirmed >= serial || m_lost;
                                         });
        [&]() SORVANE_NO_THREAD_SAFETY_ANALYSIS { lost = m_lost; }();
    }
    if (lost)
        logLine("[SorvanePB] could not take the clipboard \u2014 text (" +
                std::to_string(text.size()) + " bytes) not written");
    else if (!confirmed)
        logLine("[SorvanePB] the Wayland compositor did not confirm the new clipboard within " +
                std::to_string(m_options.writeTimeout.count()) + " ms");
}

std::unique_ptr<WaylandPasteboard> WaylandPasteboard::open(const char* display, Options options) {
    const std::string name = displayName(display);
    DisplayPtr connection(wl_display_connect(display));
    if (!connection) {
        logLine("[SorvanePB] cannot connect to the Wayland display " + name + ": " +
                std::strerror(errno) + " \u2014 clipboard changes cannot be watched");
        return nullptr;
    }
    Globals globals;
    wl_registry* registry = wl_display_get_registry(connection.get());
    wl_registry_add_listener(registry, &kRegistryListener, &globals);
    const bool answered = roundtrip(connection.get(), options.writeTimeout);
    const DataControlProtocol* protocol = globals.preferred();
    if (answered && protocol && globals.seat != 0) {
        auto session = std::make_unique<Session>(std::move(connection), name, *protocol, options);
        if (!session->start(registry, globals))
            return nullptr;
        return std::unique_ptr<WaylandPasteboard>(new WaylandPasteboard(std::move(session)));
    }
    wl_registry_destroy(registry);
    if (!answered)
        logLine("[SorvanePB] the Wayland compositor " + name +
                " did not answer \u2014 clipboard changes cannot be watched");
    else if (!protocol)
        logLine("[SorvanePB] the Wayland compositor " + name +
                " offers no data-control protocol \u2014 clipboard changes cannot be watched");
    else
        logLine("[SorvanePB] the Wayland compositor " + name +
                " has no seat \u2014 clipboard changes cannot be watched");
    return nullptr;
}

std::optional<std::string> WaylandPasteboard::dataControlProtocol(const char* display) {
    DisplayPtr connection(wl_display_connect(display));
    if (!connection)
        return std::nullopt;
    Globals globals;
    wl_registry* registry = wl_display_get_registry(connection.get());
    wl_registry_add_listener(registry, &kRegistryListener, &globals);
    const bool answered = roundtrip(connection.get(), milliseconds(2000));
    wl_registry_destroy(registry);
    const DataControlProtocol* protocol = globals.preferred();
    if (!answered || !protocol)
        return std::nullopt;
    return std::string(protocol->name);
}

WaylandPasteboard::WaylandPasteboard(std::unique_ptr<Session> session)
    : m_session(std::move(session)) {}

WaylandPasteboard::~WaylandPasteboard() = default;

const char* WaylandPasteboard::protocolName() const {
    return m_session->protocol().name;
}
int64_t WaylandPasteboard::changeCount() {
    return m_session->changeCount();
}
std::vector<std::string> WaylandPasteboard::types() {
    return m_session->types();
}
std::optional<std::string> WaylandPasteboard::string() {
    return m_session->string();
}
void WaylandPasteboard::writeString(const std::string& text) {
    m_session->writeString(text);
}

} // namespace sorvane::wayland
