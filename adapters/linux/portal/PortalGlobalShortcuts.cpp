#include "adapters/linux/portal/PortalGlobalShortcuts.h"

#include "adapters/linux/portal/PortalResults.h"
#include "base/Log.h"
#include "ui/HotKeyCombo.h"

namespace sorvane {

// The bus side: what the portal thread knows, and the way back to the main
// queue, cut when the owner goes.
struct PortalGlobalShortcuts::Side : MainQueueLink {
    Side(PortalBus& portalBus, MainQueue& queue) : MainQueueLink(queue), bus(portalBus) {}

    PortalBus& bus;

    // The portal thread's own.
    std::string session;        // our session's handle; empty when none
    uint64_t generation = 0;    // the registration asked for last
    bool bound = false;         // the desktop bound the shortcut of that registration
    std::string preferredTrigger;
    std::vector<sdbus::Slot> signals;
    std::function<void(uint64_t, HotKeyOutcome)> report; // set by the owner, posts to main
    std::function<void()> pressed;                      // the same, for a press
};

namespace {

HotKeyOutcome failureOf(const PortalBus::Response& response, const char* step) {
    HotKeyOutcome outcome;
    if (response.code == PortalBus::Response::kCancelled) {
        outcome.result = HotKeyOutcome::Result::refused;
        outcome.detail = std::string("the user declined the desktop's dialog at ") + step;
    } else if (portalresults::lacksInterface(response.errorName)) {
        outcome.result = HotKeyOutcome::Result::noService;
        outcome.detail = "the desktop portal has no global shortcuts: " + response.errorName;
    } else {
        outcome.result = HotKeyOutcome::Result::failed;
        outcome.detail = response.errorName.empty()
                             ? std::string("the desktop portal's ") + step + " ended with code " +
                                   std::to_string(response.code)
                             : std::string(step) + ": " + response.errorName + " " + response.errorMessage;
    }
    return outcome;
}

} // namespace

std::unique_ptr<PortalGlobalShortcuts> PortalGlobalShortcuts::open(MainQueue& mainQueue) {
    if (!PortalBus::sessionBusExists())
        return nullptr;
    return std::make_unique<PortalGlobalShortcuts>(mainQueue);
}

PortalGlobalShortcuts::PortalGlobalShortcuts(MainQueue& mainQueue)
    : m_mainQueue(mainQueue), m_bus(PortalBus::start("sorvane-shortcut")) {
    m_side = std::make_shared<Side>(*m_bus, mainQueue);
    m_side->report = [side = std::weak_ptr<Side>(m_side), this, watch = m_liveness.watch()](uint64_t generation,
                                                                                           HotKeyOutcome outcome) {
        if (auto s = side.lock())
            s->toMain([this, watch, generation, outcome = std::move(outcome)] {
                if (watch && generation == m_generation && m_onOutcome)
                    m_onOutcome(outcome);
            });
    };
    m_side->pressed = [side = std::weak_ptr<Side>(m_side), this, watch = m_liveness.watch()] {
        if (auto s = side.lock())
            s->toMain([this, watch] {
                if (watch && m_onPressed)
                    m_onPressed();
            });
    };
}

PortalGlobalShortcuts::~PortalGlobalShortcuts() {
    m_liveness.end();
    m_side->cut();
    m_bus->post([side = m_side] {
        side->bus.closeSession(side->session);
        side->session.clear();
        side->signals.clear();
    });
    m_bus->stop();
}

int PortalGlobalShortcuts::registerHotKey(uint32_t keyCode, uint32_t modifiers) {
    const auto trigger = shortcutTrigger({keyCode, modifiers});
    if (!trigger) {
        logLine("Sorvane: " + HotKeyCombo{keyCode, modifiers}.displayString() +
                " cannot be offered to the desktop as a shortcut");
        return -1;
    }
    const uint64_t generation = ++m_generation;
    m_bus->post([side = m_side, generation, trigger = *trigger] {
        side->generation = generation;
        side->bound = false;
        side->preferredTrigger = trigger;
        PortalBus& bus = side->bus;

        std::string error;
        if (!bus.interfaceVersion(kInterface, error)) {
            HotKeyOutcome outcome;
            outcome.result = HotKeyOutcome::Result::noService;
            outcome.detail = "no global shortcut service: " + error;
            side->report(generation, outcome);
            return;
        }
        if (side->signals.empty()) {
            // Handlers run in the dispatch, on this same thread.
            std::weak_ptr<Side> weak = side;
            side->signals.push_back(bus.watchSignal(kInterface, "Activated", [weak](sdbus::Message& msg) {
                auto s = weak.lock();
                sdbus::ObjectPath session;
                std::string id;
                if (!s || !portalresults::readSessionAndId(msg, session, id))
                    return;
                if (s->bound && session == s->session && id == kShortcutId)
                    s->pressed();
            }));
            side->signals.push_back(bus.watchSignal(kInterface, "ShortcutsChanged", [weak](sdbus::Message& msg) {
                auto s = weak.lock();
                sdbus::ObjectPath session;
                portalresults::ShortcutList shortcuts;
                if (!s || !portalresults::readSessionAndShortcuts(msg, session, shortcuts))
                    return;
                if (!s->bound || session != s->session)
                    return;
                HotKeyOutcome outcome;
                outcome.result = HotKeyOutcome::Result::registered;
                outcome.triggerDescription = portalresults::triggerDescription(shortcuts, kShortcutId);
                s->report(s->generation, outcome);
            }));
        }

        auto bind = [side, generation] {
            using Shortcut = sdbus::Struct<std::string, std::map<std::string, sdbus::Variant>>;
            std::vector<Shortcut> shortcuts{
                Shortcut{std::string(kShortcutId),
                         std::map<std::string, sdbus::Variant>{
                             {"description", sdbus::Variant(std::string(kDescription))},
                             {"preferred_trigger", sdbus::Variant(side->preferredTrigger)}}}};
            side->bus.request(
                kInterface, "BindShortcuts",
                [&](sdbus::MethodCall& call) {
                    call << sdbus::ObjectPath(side->session) << shortcuts << std::string();
                },
                {}, [side, generation](PortalBus::Response response) {
                    if (generation != side->generation)
                        return;
                    if (response.code != PortalBus::Response::kSuccess) {
                        side->report(generation, failureOf(response, "BindShortcuts"));
                        return;
                    }
                    side->bound = true;
                    HotKeyOutcome outcome;
                    outcome.result = HotKeyOutcome::Result::registered;
                    if (const auto list = portalresults::shortcutList(response.results))
                        outcome.triggerDescription = portalresults::triggerDescription(*list, kShortcutId);
                    side->report(generation, outcome);
                });
        };
        if (!side->session.empty()) {
            bind();
            return;
        }
        side->bus.request(kInterface, "CreateSession", nullptr,
                          {{"session_handle_token", sdbus::Variant(side->bus.newToken())}},
                          [side, generation, bind](PortalBus::Response response) {
                              if (response.code != PortalBus::Response::kSuccess) {
                                  if (generation == side->generation)
                                      side->report(generation, failureOf(response, "CreateSession"));
                                  return;
                              }
                              const auto handle = portalresults::sessionHandle(response.results);
                              if (generation != side->generation || !side->session.empty()) {
                                  // Asked for and then given up, or overtaken.
                                  side->bus.closeSession(handle.value_or(""));
                                  return;
                              }
                              if (!handle) {
                                  HotKeyOutcome outcome;
                                  outcome.detail = "the desktop portal's session came without a handle";
                                  side->report(generation, outcome);
                                  return;
                              }
                              side->session = *handle;
                              bind();
                          });
    });
    return 0;
}

void PortalGlobalShortcuts::unregisterHotKey() {
    ++m_generation;
    m_bus->post([side = m_side] {
        side->generation = 0;
        side->bound = false;
        side->bus.closeSession(side->session);
        side->session.clear();
    });
}

} // namespace sorvane
