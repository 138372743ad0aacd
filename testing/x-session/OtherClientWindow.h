// Another program's window on the test display (links X11 and Xtst).
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <string>

namespace sorvane::testing {

// A window of another X client, which records the button presses it gets.
class OtherClientWindow {
public:
    struct Point {
        int x = 0, y = 0;
    };
    explicit OtherClientWindow(const std::string& display) : m_display(XOpenDisplay(display.c_str())) {
        if (!m_display)
            return;
        const int screen = DefaultScreen(m_display);
        m_window = XCreateSimpleWindow(m_display, RootWindow(m_display, screen), 20, 480, 200, 100, 0, 0,
                                       WhitePixel(m_display, screen));
        XSizeHints hints{};
        hints.flags = USPosition | USSize;
        hints.x = 20;
        hints.y = 480;
        hints.width = 200;
        hints.height = 100;
        XSetWMNormalHints(m_display, m_window, &hints);
        XSelectInput(m_display, m_window, ButtonPressMask | StructureNotifyMask | FocusChangeMask);
        XMapRaised(m_display, m_window);
        XFlush(m_display);
    }
    ~OtherClientWindow() {
        if (m_display)
            XCloseDisplay(m_display);
    }
    bool mapped() {
        XEvent e;
        while (XCheckWindowEvent(m_display, m_window, StructureNotifyMask, &e))
            m_mapped = m_mapped || e.type == MapNotify;
        return m_mapped;
    }
    Point centre() {
        int x = 0, y = 0;
        Window child = 0;
        XTranslateCoordinates(m_display, m_window, DefaultRootWindow(m_display), 100, 50, &x, &y, &child);
        return {x, y};
    }
    void click(Point at) {
        XTestFakeMotionEvent(m_display, -1, at.x, at.y, 0);
        XTestFakeButtonEvent(m_display, 1, True, 0);
        XTestFakeButtonEvent(m_display, 1, False, 0);
        XFlush(m_display);
    }
    int presses() {
        XEvent e;
        while (XCheckWindowEvent(m_display, m_window, ButtonPressMask, &e))
            ++m_presses;
        return m_presses;
    }
    void takeFocus() {
        XSetInputFocus(m_display, m_window, RevertToParent, CurrentTime);
        XFlush(m_display);
    }
    bool hasFocus() {
        Window focus = 0;
        int revert = 0;
        XGetInputFocus(m_display, &focus, &revert);
        return focus == m_window;
    }

private:
    Display* m_display = nullptr;
    Window m_window = 0;
    bool m_mapped = false;
    int m_presses = 0;
};

} // namespace sorvane::testing
