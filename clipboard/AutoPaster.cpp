#include "clipboard/AutoPaster.h"

#include "base/Log.h"

#include <string>
#include <utility>

namespace sorvane {
namespace {

std::string identifierOf(const std::optional<RunningApplication>& app) {
    if (app && app->appIdentifier)
        return *app->appIdentifier;
    return "?";
}

} // namespace

AutoPaster::AutoPaster(MainQueue& mainQueue, AutoPasteDesktop& desktop)
    : m_mainQueue(mainQueue), m_desktop(desktop) {}

AutoPaster::~AutoPaster() = default;

void AutoPaster::pasteIntoPreviousApp(std::optional<RunningApplication>& previousApp) {
    if (!previousApp) {
        logLine("paste: no previousApp captured \u2014 skipping");
        return;
    }
    const RunningApplication target = std::exchange(previousApp, std::nullopt).value();

    const bool trusted = m_desktop.isTrusted(false);
    logLine("paste: target=" + identifierOf(target) + " axTrusted=" + (trusted ? "true" : "false"));
    if (!trusted) {
        requestAccessibilityIfNeeded();
        return;
    }

    m_desktop.hideThisApplication();
    m_mainQueue.postDelayed(kActivateDelay, [this, alive = m_liveness.watch(), target] {
        if (!alive)
            return;
        m_desktop.activate(target);
        m_mainQueue.postDelayed(kKeystrokeDelay, [this, alive, target] {
            if (alive)
                postKeystrokeIfFront(target);
        });
    });
}

void AutoPaster::postKeystrokeIfFront(const RunningApplication& target) {
    const std::optional<RunningApplication> front = m_desktop.frontmostApplication();
    if (front && isSameApplication(*front, target)) {
        logLine("paste: simulating \u2318V into " + identifierOf(target));
        // A refused keystroke (no events, focus gone at the last moment) is silent.
        m_desktop.postPasteKeystroke(target);
        return;
    }
    logLine("paste: front is " + identifierOf(front) + ", expected " + identifierOf(target) +
            " \u2014 skipping");
}

void AutoPaster::requestAccessibilityIfNeeded() {
    if (m_desktop.isTrusted(true))
        return;
    m_mainQueue.postDelayed(kSettingsDelay, [this, alive = m_liveness.watch()] {
        if (alive)
            m_desktop.openAccessibilitySettings();
    });
}

} // namespace sorvane
