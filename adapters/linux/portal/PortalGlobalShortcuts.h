// The global shortcut on Wayland desktops: org.freedesktop.portal.GlobalShortcuts
// of the desktop portal (KDE Plasma, GNOME 48 and later, Hyprland).
//
// registerHotKey() opens a portal session and binds one shortcut,
// "toggle-panel", described as "Show or hide the Sorvane panel", with the
// stored combination as its preferred trigger ("SHIFT+LOGO+v"). It only sends
// the request and returns 0 (or -1, sending nothing, for a combination that
// has no trigger); the desktop may show a dialog where the user confirms or
// changes the trigger, and its answer comes through the outcome callback: the
// trigger as the desktop describes it, or why there is none (no portal, a
// portal without global shortcuts, the user declined, another failure). The
// desktop's later changes (ShortcutsChanged) come the same way.
//
// Each Activated signal of our session and shortcut runs the press callback
// once, posted to the main queue. unregisterHotKey() closes the session; the
// next registration opens a new one. Answers to an earlier registration are
// ignored once another one was asked for.
//
// Thread-safety: main thread only (the bus is talked to on the portal thread,
// see PortalBus). Callbacks run on the main queue and never after destruction.
#pragma once

#include "adapters/linux/portal/PortalBus.h"
#include "base/Liveness.h"
#include "ports/AppServices.h"
#include "ports/MainQueue.h"

#include <memory>

namespace sorvane {

class PortalGlobalShortcuts final : public HotKeyService {
public:
    static constexpr const char* kInterface = "org.freedesktop.portal.GlobalShortcuts";
    static constexpr const char* kShortcutId = "toggle-panel";
    static constexpr const char* kDescription = "Show or hide the Sorvane panel";

    // The service on the session bus; null when the environment names no
    // session bus. Whether a portal answers is known only later.
    static std::unique_ptr<PortalGlobalShortcuts> open(MainQueue& mainQueue);
    explicit PortalGlobalShortcuts(MainQueue& mainQueue);
    // Closes the session; nothing is called afterwards.
    ~PortalGlobalShortcuts() override;
    PortalGlobalShortcuts(const PortalGlobalShortcuts&) = delete;
    PortalGlobalShortcuts& operator=(const PortalGlobalShortcuts&) = delete;

    void setOnPressed(std::function<void()> onPressed) override { m_onPressed = std::move(onPressed); }
    bool answersLater() const override { return true; }
    void setOnOutcome(std::function<void(const HotKeyOutcome&)> onOutcome) override {
        m_onOutcome = std::move(onOutcome);
    }
    int registerHotKey(uint32_t keyCode, uint32_t modifiers) override;
    void unregisterHotKey() override;

private:
    struct Side;

    MainQueue& m_mainQueue;
    std::shared_ptr<PortalBus> m_bus;
    std::shared_ptr<Side> m_side;
    std::function<void()> m_onPressed;
    std::function<void(const HotKeyOutcome&)> m_onOutcome;
    uint64_t m_generation = 0;
    Liveness m_liveness;
};

} // namespace sorvane
