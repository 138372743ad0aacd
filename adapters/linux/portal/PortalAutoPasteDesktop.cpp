#include "adapters/linux/portal/PortalAutoPasteDesktop.h"

#include "base/Log.h"

namespace sorvane {

PortalAutoPasteDesktop::PortalAutoPasteDesktop(PortalRemoteDesktopKeyboard* keyboard, Options options)
    : m_keyboard(keyboard), m_options(std::move(options)), m_mayGrant(keyboard != nullptr) {}

bool PortalAutoPasteDesktop::isTrusted(bool prompt) {
    if (m_keyboard && m_keyboard->available())
        return true;
    if (prompt && m_keyboard && m_mayGrant) {
        m_keyboard->requestAccess([this, alive = m_liveness.watch()](bool granted) {
            if (!alive)
                return;
            if (granted)
                logLine("Sorvane: the desktop lets Sorvane paste into other windows");
            else {
                m_mayGrant = false;
                openAccessibilitySettings();
            }
        });
    }
    return false;
}

std::optional<RunningApplication> PortalAutoPasteDesktop::frontmostApplication() {
    RunningApplication focusReturnsTo;
    focusReturnsTo.window = kFocusReturnsTo;
    return focusReturnsTo;
}

void PortalAutoPasteDesktop::hideThisApplication() {
    if (m_options.hideOwnWindows)
        m_options.hideOwnWindows();
}

bool PortalAutoPasteDesktop::postPasteKeystroke(const RunningApplication& target) {
    if (target.window != kFocusReturnsTo || !m_keyboard || !m_keyboard->available())
        return false;
    // Typed into our own window it would paste into the panel, not the target.
    if (m_options.ownWindowHasFocus && m_options.ownWindowHasFocus()) {
        logLine("paste: Sorvane still has the focus \u2014 skipping");
        return false;
    }
    return m_keyboard->postPaste();
}

void PortalAutoPasteDesktop::openAccessibilitySettings() {
    // While the desktop may still say yes, its own question is on screen.
    if (m_keyboard && m_mayGrant)
        return;
    if (m_explained)
        return;
    m_explained = true;
    logLine(std::string("Sorvane: ") + kNoKeystrokes);
    if (m_options.explain)
        m_options.explain(kNoKeystrokes);
}

} // namespace sorvane
