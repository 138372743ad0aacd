#include "adapters/linux/portal/PortalRemoteDesktopKeyboard.h"

#include "adapters/linux/portal/PortalResults.h"
#include "base/Log.h"

namespace sorvane {

// The bus side: the session as the portal thread knows it, and the way back
// to the main queue, cut when the owner goes.
struct PortalRemoteDesktopKeyboard::Side : MainQueueLink, std::enable_shared_from_this<Side> {
    Side(PortalBus& portalBus, MainQueue& queue) : MainQueueLink(queue), bus(portalBus) {}

    PortalBus& bus;

    // The portal thread's own.
    std::string session;
    sdbus::Slot closed;
    // Posts the outcome of a start: granted, the restore token, why not.
    std::function<void(bool, std::string, std::string)> report;
    std::function<void()> lost;

    void fail(const std::string& why) { report(false, {}, why); }
    void start(const std::string& restoreToken);
};

namespace {

constexpr uint32_t kKeyboard = 1;
constexpr uint32_t kPersistUntilRevoked = 2;

std::string whyNot(const PortalBus::Response& response, const char* step) {
    if (response.code == PortalBus::Response::kCancelled)
        return "the user declined the desktop's remote control dialog";
    if (portalresults::lacksInterface(response.errorName))
        return "the desktop portal has no remote desktop: " + response.errorName;
    if (!response.errorName.empty())
        return std::string(step) + ": " + response.errorName + " " + response.errorMessage;
    return std::string("the desktop portal's ") + step + " ended with code " + std::to_string(response.code);
}

} // namespace

void PortalRemoteDesktopKeyboard::Side::start(const std::string& restoreToken) {
    std::string error;
    const auto version = bus.interfaceVersion(kInterface, error);
    if (!version) {
        fail("the desktop portal has no remote desktop: " + error);
        return;
    }
    // Each step holds the Side until its answer came.
    bus.request(
        kInterface, "CreateSession", nullptr, {{"session_handle_token", sdbus::Variant(bus.newToken())}},
        [this, self = shared_from_this(), restoreToken, version = *version](PortalBus::Response created) {
            if (created.code != PortalBus::Response::kSuccess) {
                fail(whyNot(created, "CreateSession"));
                return;
            }
            const auto handle = portalresults::sessionHandle(created.results);
            if (!handle) {
                fail("the desktop portal's session came without a handle");
                return;
            }
            session = *handle;
            closed = bus.watchSignal(
                "org.freedesktop.portal.Session", "Closed",
                [weak = weak_from_this()](sdbus::Message&) {
                    if (auto s = weak.lock()) {
                        s->session.clear();
                        s->lost();
                    }
                },
                session);
            PortalBus::Options options{{"types", sdbus::Variant(kKeyboard)}};
            // Restoring needs version 2; older portals ask at every start.
            if (version >= 2) {
                options["persist_mode"] = sdbus::Variant(kPersistUntilRevoked);
                if (!restoreToken.empty())
                    options["restore_token"] = sdbus::Variant(restoreToken);
            }
            bus.request(
                kInterface, "SelectDevices",
                [this](sdbus::MethodCall& call) { call << sdbus::ObjectPath(session); }, std::move(options),
                [this, self](PortalBus::Response selected) {
                    if (selected.code != PortalBus::Response::kSuccess) {
                        fail(whyNot(selected, "SelectDevices"));
                        return;
                    }
                    bus.request(
                        kInterface, "Start",
                        [this](sdbus::MethodCall& call) { call << sdbus::ObjectPath(session) << std::string(); },
                        {}, [this, self](PortalBus::Response started) {
                            if (started.code != PortalBus::Response::kSuccess) {
                                fail(whyNot(started, "Start"));
                                return;
                            }
                            const auto devices = portalresults::uint32Value(started.results, "devices");
                            if (devices && !(*devices & kKeyboard)) {
                                fail("the desktop lent no keyboard");
                                return;
                            }
                            report(true, portalresults::stringValue(started.results, "restore_token").value_or(""),
                                   {});
                        });
                });
        });
}

std::unique_ptr<PortalRemoteDesktopKeyboard> PortalRemoteDesktopKeyboard::open(MainQueue& mainQueue,
                                                                               UserDefaults& defaults) {
    if (!PortalBus::sessionBusExists())
        return nullptr;
    return std::make_unique<PortalRemoteDesktopKeyboard>(mainQueue, defaults);
}

PortalRemoteDesktopKeyboard::PortalRemoteDesktopKeyboard(MainQueue& mainQueue, UserDefaults& defaults)
    : m_mainQueue(mainQueue), m_defaults(defaults), m_bus(PortalBus::start("sorvane-keyboard")) {
    m_side = std::make_shared<Side>(*m_bus, mainQueue);
    Side* side = m_side.get();
    m_side->report = [side, this, watch = m_liveness.watch()](bool granted, std::string token, std::string why) {
        side->toMain([this, watch, granted, token = std::move(token), why = std::move(why)] {
            if (!watch)
                return;
            if (!granted && !m_gaveUp)
                logLine("Sorvane: auto-paste cannot type on this desktop (" + why + ")");
            finish(granted, token);
        });
    };
    m_side->lost = [side, this, watch = m_liveness.watch()] {
        side->toMain([this, watch] {
            if (!watch || !m_available)
                return;
            logLine("Sorvane: the desktop ended the keyboard lent for auto-paste");
            m_available = false;
        });
    };
}

PortalRemoteDesktopKeyboard::~PortalRemoteDesktopKeyboard() {
    m_liveness.end();
    m_side->cut();
    m_bus->post([side = m_side] {
        side->closed = {};
        side->bus.closeSession(side->session);
        side->session.clear();
    });
    m_bus->stop();
}

void PortalRemoteDesktopKeyboard::requestAccess(std::function<void(bool granted)> done) {
    if (m_available || m_gaveUp) {
        if (done)
            m_mainQueue.post([done = std::move(done), granted = m_available, watch = m_liveness.watch()] {
                if (watch)
                    done(granted);
            });
        return;
    }
    if (done)
        m_waiting.push_back(std::move(done));
    if (m_starting)
        return;
    m_starting = true;
    const std::string token = m_defaults.string(kRestoreTokenKey).value_or("");
    m_bus->post([side = m_side, token] { side->start(token); });
}

void PortalRemoteDesktopKeyboard::finish(bool granted, const std::string& restoreToken) {
    m_starting = false;
    m_available = granted;
    if (granted) {
        logLine("Sorvane: the desktop lent a keyboard for auto-paste");
        if (!restoreToken.empty())
            m_defaults.set(kRestoreTokenKey, restoreToken);
    } else {
        m_gaveUp = true;
    }
    auto waiting = std::move(m_waiting);
    m_waiting.clear();
    for (auto& done : waiting)
        done(granted);
}

bool PortalRemoteDesktopKeyboard::postPaste() {
    if (!m_available)
        return false;
    m_bus->post([side = m_side] {
        if (side->session.empty() || !side->bus.connection())
            return;
        const std::pair<int32_t, uint32_t> strokes[] = {{kControlL, 1}, {kV, 1}, {kV, 0}, {kControlL, 0}};
        for (const auto& [keysym, state] : strokes) {
            try {
                side->bus.portal()
                    .callMethod("NotifyKeyboardKeysym")
                    .onInterface(kInterface)
                    .withTimeout(PortalBus::kCallTimeout)
                    .withArguments(sdbus::ObjectPath(side->session), PortalBus::Options{}, keysym, state);
            } catch (const sdbus::Error& e) {
                logLine("Sorvane: the paste keystroke did not reach the desktop (" + e.getName() + " " +
                        e.getMessage() + ")");
            }
        }
    });
    return true;
}

} // namespace sorvane
