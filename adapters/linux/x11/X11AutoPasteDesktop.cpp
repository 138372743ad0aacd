#include "adapters/linux/x11/X11AutoPasteDesktop.h"

#include "adapters/linux/x11/X11Connection.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cstdlib>
#include <cstring>

namespace sorvane::x11 {

std::unique_ptr<X11AutoPasteDesktop> X11AutoPasteDesktop::open(const char* displayName,
                                                               Options options) {
    auto x = X11Connection::open(displayName);
    if (!x)
        return nullptr;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    const bool xtest =
        XTestQueryExtension(x->display(), &eventBase, &errorBase, &major, &minor) == True;
    return std::unique_ptr<X11AutoPasteDesktop>(
        new X11AutoPasteDesktop(std::move(x), std::move(options), xtest));
}

X11AutoPasteDesktop::X11AutoPasteDesktop(std::unique_ptr<X11Connection> x, Options options,
                                         bool xtest)
    : m_x(std::move(x)), m_options(std::move(options)), m_xtest(xtest) {}

X11AutoPasteDesktop::~X11AutoPasteDesktop() = default;

bool X11AutoPasteDesktop::waylandSessionFromEnvironment() {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* type = std::getenv("XDG_SESSION_TYPE");
    return (wayland && *wayland) || (type && std::strcmp(type, "wayland") == 0);
}

bool X11AutoPasteDesktop::isTrusted(bool) {
    return m_xtest && !m_options.waylandSession && !m_x->lost();
}

std::optional<RunningApplication> X11AutoPasteDesktop::frontmostApplication() {
    if (m_x->lost())
        return std::nullopt;
    const Window window = activeWindow(*m_x);
    if (window == 0)
        return std::nullopt;
    return RunningApplication{window, windowPid(*m_x, window), windowClass(*m_x, window)};
}

void X11AutoPasteDesktop::hideThisApplication() {
    if (m_options.hideOwnWindows)
        m_options.hideOwnWindows();
}

void X11AutoPasteDesktop::activate(const RunningApplication& app) {
    if (m_x->lost() || app.window == 0)
        return;
    Display* d = m_x->display();
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = static_cast<Window>(app.window);
    event.xclient.message_type = m_x->atom("_NET_ACTIVE_WINDOW");
    event.xclient.format = 32;
    // Source 2 (a pager acting for the user): window managers honour it without
    // their focus-stealing prevention, as "ignoring other applications" asks.
    event.xclient.data.l[0] = 2;
    event.xclient.data.l[1] = CurrentTime;
    event.xclient.data.l[2] = static_cast<long>(activeWindow(*m_x));
    XSendEvent(d, m_x->root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XFlush(d);
}

bool X11AutoPasteDesktop::focusInside(unsigned long target) {
    Display* d = m_x->display();
    Window focus = None;
    int revert = 0;
    XGetInputFocus(d, &focus, &revert);
    // Walk up from the focus window: it is the target or one of its children.
    for (int depth = 0; focus != None && focus != PointerRoot && depth < 64; ++depth) {
        if (focus == target)
            return true;
        Window root = 0, parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        const bool queried = XQueryTree(d, focus, &root, &parent, &children, &count);
        XPtr<Window> owned(children); // only the parent is needed
        if (!queried)
            return false;
        if (parent == root || parent == None)
            return false;
        focus = parent;
    }
    return false;
}

bool X11AutoPasteDesktop::postPasteKeystroke(const RunningApplication& target) {
    if (!isTrusted(false) || target.window == 0)
        return false;
    Display* d = m_x->display();
    const KeyCode control = XKeysymToKeycode(d, XK_Control_L);
    const KeyCode v = XKeysymToKeycode(d, XK_v);
    if (control == 0 || v == 0)
        return false;
    // The last look before the keystroke: it goes wherever the focus is.
    if (!focusInside(static_cast<unsigned long>(target.window)))
        return false;
    XTestFakeKeyEvent(d, control, True, CurrentTime);
    XTestFakeKeyEvent(d, v, True, CurrentTime);
    XTestFakeKeyEvent(d, v, False, CurrentTime);
    XTestFakeKeyEvent(d, control, False, CurrentTime);
    XSync(d, False);
    return true;
}

} // namespace sorvane::x11
