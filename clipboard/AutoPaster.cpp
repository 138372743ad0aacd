#include "clipboard/AutoPaster.h"

#include "platform/Log.h"

#include <string>
#include <utility>

namespace sorvane {
namespace {

std::string identifierOf(const std::optional<RunningApplication>& app) {
    if (app && app->bundleIdentifier)
        return *app->bundleIdentifier;
    return "?";
}

} // namespace

AutoPaster::AutoPaster(MainQueue& mainQueue, AutoPasteDesktop& desktop)
    : m_mainQueue(mainQueue), m_desktop(desktop), m_self(std::make_shared<AutoPaster*>(this)) {}

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
    std::weak_ptr<AutoPaster*> weak = m_self;
    m_mainQueue.postDelayed(kActivateDelay, [weak, target] {
        auto self = weak.lock();
        if (!self)
            return;
        (*self)->m_desktop.activate(target);
        (*self)->m_mainQueue.postDelayed(kKeystrokeDelay, [weak, target] {
            if (auto again = weak.lock())
                (*again)->postKeystrokeIfFront(target);
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
    std::weak_ptr<AutoPaster*> weak = m_self;
    m_mainQueue.postDelayed(kSettingsDelay, [weak] {
        if (auto self = weak.lock())
            (*self)->m_desktop.openAccessibilitySettings();
    });
}

} // namespace sorvane
