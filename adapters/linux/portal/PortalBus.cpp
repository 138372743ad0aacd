#include "adapters/linux/portal/PortalBus.h"

#include "base/Log.h"
#include "base/Thread.h"

#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <thread>

namespace sorvane {
namespace {

constexpr const char* kRequest = "org.freedesktop.portal.Request";
constexpr const char* kSession = "org.freedesktop.portal.Session";

uint64_t microseconds(std::chrono::seconds timeout) {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(timeout).count());
}

std::string signalRule(const std::string& interface, const std::string& member, const std::string& path) {
    return "type='signal',sender='" + std::string(PortalBus::kPortalName) + "',interface='" + interface +
           "',member='" + member + "',path='" + path + "'";
}

} // namespace

std::shared_ptr<PortalBus> PortalBus::start(std::string threadName) {
    std::shared_ptr<PortalBus> bus(new PortalBus(std::move(threadName)));
    // The thread keeps its own share: a bus that never answers may hold it
    // past the owner's life.
    std::thread([bus] { bus->run(); }).detach();
    return bus;
}

PortalBus::PortalBus(std::string threadName) : m_threadName(std::move(threadName)) {}

PortalBus::~PortalBus() = default;

bool PortalBus::sessionBusExists() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address)
        return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code error;
    return runtime && *runtime && std::filesystem::exists(std::filesystem::path(runtime) / "bus", error);
}

void PortalBus::post(std::function<void()> task) {
    {
        MutexLock lock(m_mutex);
        if (m_stopped)
            return;
        m_tasks.push_back(std::move(task));
    }
    m_wakeup.notify();
}

void PortalBus::stop() {
    {
        MutexLock lock(m_mutex);
        m_stopped = true;
    }
    m_wakeup.notify();
}

void PortalBus::runTasks() {
    for (;;) {
        std::function<void()> task;
        {
            MutexLock lock(m_mutex);
            if (m_tasks.empty())
                return;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        try {
            task();
        } catch (const sdbus::Error& e) {
            logLine("Sorvane: desktop portal: " + e.getName() + " " + e.getMessage());
        }
    }
}

void PortalBus::run() {
    setCurrentThreadName(m_threadName);
    try {
        m_connection = sdbus::createSessionBusConnection();
        m_uniqueName = m_connection->getUniqueName();
        m_portal = sdbus::createProxy(*m_connection, kPortalName, kPortalPath);
        m_portal->finishRegistration();
    } catch (const sdbus::Error& e) {
        logLine("Sorvane: the desktop portal cannot be reached (no session bus: " + e.getMessage() + ")");
        m_portal.reset();
        m_connection.reset();
    }

    for (;;) {
        // The tasks posted before stop() still run: the owners' last words
        // (closing sessions, dropping their signal slots) are among them.
        runTasks();
        {
            MutexLock lock(m_mutex);
            if (m_stopped && m_tasks.empty())
                break;
        }
        int timeout = -1;
        pollfd fds[2] = {{m_wakeup.fd(), POLLIN, 0}, {-1, 0, 0}};
        nfds_t count = 1;
        if (m_connection) {
            try {
                while (m_connection->processPendingRequest()) {
                }
                const auto data = m_connection->getEventLoopPollData();
                fds[1] = {data.fd, data.events, 0};
                count = 2;
                timeout = data.getPollTimeout();
            } catch (const sdbus::Error& e) {
                logLine("Sorvane: the desktop portal's bus failed: " + e.getMessage());
                m_waiting.clear();
                m_portal.reset();
                m_connection.reset();
            }
        }
        {
            MutexLock lock(m_mutex);
            if (!m_tasks.empty() || m_stopped)
                continue;
        }
        ::poll(fds, count, timeout);
        m_wakeup.drain();
    }
    // Everything that refers to the connection goes before it, on this thread.
    m_waiting.clear();
    m_portal.reset();
    m_connection.reset();
}

std::optional<uint32_t> PortalBus::interfaceVersion(const std::string& interface, std::string& error) {
    if (!m_connection) {
        error = "no session bus";
        return std::nullopt;
    }
    try {
        sdbus::Variant value;
        m_portal->callMethod("Get")
            .onInterface("org.freedesktop.DBus.Properties")
            .withTimeout(kCallTimeout)
            .withArguments(interface, std::string("version"))
            .storeResultsTo(value);
        if (value.containsValueOfType<uint32_t>())
            return value.get<uint32_t>();
        error = "the portal's " + interface + " version is not a number";
    } catch (const sdbus::Error& e) {
        error = e.getName() + ": " + e.getMessage();
    }
    return std::nullopt;
}

std::string PortalBus::requestPath(const std::string& uniqueName, const std::string& token) {
    std::string sender = uniqueName.substr(uniqueName.starts_with(':') ? 1 : 0);
    for (char& c : sender)
        if (c == '.')
            c = '_';
    return std::string(kPortalPath) + "/request/" + sender + "/" + token;
}

std::string PortalBus::newToken() { return "sorvane" + std::to_string(++m_nextToken); }

void PortalBus::listen(const std::string& path, std::function<void(Response)> done) {
    std::weak_ptr<PortalBus> weak = weak_from_this();
    Waiting waiting;
    waiting.done = std::move(done);
    waiting.match = m_connection->addMatch(signalRule(kRequest, "Response", path), [weak, path](sdbus::Message& msg) {
        auto self = weak.lock();
        if (!self)
            return;
        Response response;
        try {
            msg >> response.code >> response.results;
        } catch (const sdbus::Error& e) {
            logLine("Sorvane: the desktop portal's answer was malformed (" + e.getMessage() + "); taken as a failure");
            response = {};
            response.errorName = "malformed response";
            response.errorMessage = e.getMessage();
        }
        // Handled outside the dispatch: the handler may call the portal, and
        // the match is dropped there.
        self->post([self, path, response = std::move(response)]() mutable {
            auto node = self->m_waiting.extract(path);
            if (!node.empty())
                node.mapped().done(std::move(response));
        });
    });
    m_waiting[path] = std::move(waiting);
}

void PortalBus::request(const std::string& interface, const std::string& method,
                        const std::function<void(sdbus::MethodCall&)>& writeArguments, Options options,
                        std::function<void(Response)> done) {
    if (!m_connection) {
        Response failed;
        failed.errorName = "org.freedesktop.DBus.Error.Disconnected";
        failed.errorMessage = "no session bus";
        done(std::move(failed));
        return;
    }
    const std::string token = newToken();
    options["handle_token"] = sdbus::Variant(token);
    const std::string predicted = requestPath(m_uniqueName, token);
    listen(predicted, std::move(done));
    try {
        auto call = m_portal->createMethodCall(interface, method);
        if (writeArguments)
            writeArguments(call);
        call << options;
        auto reply = m_portal->callMethod(call, microseconds(kCallTimeout));
        sdbus::ObjectPath handle;
        reply >> handle;
        if (handle != predicted) {
            // A portal that names its requests otherwise: listen there instead.
            auto node = m_waiting.extract(predicted);
            if (!node.empty())
                listen(handle, std::move(node.mapped().done));
        }
    } catch (const sdbus::Error& e) {
        auto node = m_waiting.extract(predicted);
        if (node.empty())
            return;
        Response failed;
        failed.errorName = e.getName();
        failed.errorMessage = e.getMessage();
        node.mapped().done(std::move(failed));
    }
}

sdbus::Slot PortalBus::watchSignal(const std::string& interface, const std::string& member,
                                   sdbus::message_handler handler, const std::string& path) {
    if (!m_connection)
        return {};
    return m_connection->addMatch(signalRule(interface, member, path), std::move(handler));
}

void PortalBus::closeSession(const std::string& sessionHandle) {
    if (!m_connection || sessionHandle.empty())
        return;
    try {
        auto session = sdbus::createProxy(*m_connection, kPortalName, sessionHandle);
        session->callMethod("Close").onInterface(kSession).dontExpectReply();
    } catch (const sdbus::Error& e) {
        logLine("Sorvane: closing the desktop portal's session failed: " + e.getMessage());
    }
}

} // namespace sorvane
