// AutoPaster: pastes the clipboard into the application that was in front
// before the panel opened. It hides this program, activates the target 0.12 s
// later and, 0.18 s after that, posts the paste keystroke if and only if the
// target is still in front. Without the permission for synthetic keystrokes it
// asks for it and, 0.5 s later, opens the page where it is granted.
//
// Thread-safety: main thread only. The delayed steps run on the main queue and
// do nothing once the AutoPaster is gone. Both the queue and the desktop must
// outlive it.
#pragma once

#include "base/Liveness.h"
#include "ports/AutoPasteDesktop.h"
#include "ports/MainQueue.h"

#include <chrono>
#include <memory>
#include <optional>

namespace sorvane {

class AutoPaster {
public:
    static constexpr std::chrono::milliseconds kActivateDelay{120};
    static constexpr std::chrono::milliseconds kKeystrokeDelay{180};
    static constexpr std::chrono::milliseconds kSettingsDelay{500};

    AutoPaster(MainQueue& mainQueue, AutoPasteDesktop& desktop);
    ~AutoPaster();
    AutoPaster(const AutoPaster&) = delete;
    AutoPaster& operator=(const AutoPaster&) = delete;

    // Takes the target out of `previousApp` (one capture serves one paste) and
    // pastes into it. Returns at once; the paste happens on the main queue.
    void pasteIntoPreviousApp(std::optional<RunningApplication>& previousApp);
    // Asks for the keystroke permission, prompting the user; when it is
    // missing, opens its settings page 0.5 s later.
    void requestAccessibilityIfNeeded();

private:
    void postKeystrokeIfFront(const RunningApplication& target);

    MainQueue& m_mainQueue;
    AutoPasteDesktop& m_desktop;
    // Delayed steps hold this weakly.
    Liveness m_liveness;
};

} // namespace sorvane
