// Another X client on the test display, for the shortcut tests: it grabs keys
// the way a second program (or a window manager) would, and types through
// XTest as a user does (links X11 and Xtst).
#pragma once

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <X11/extensions/XTest.h>

#include <initializer_list>
#include <string>

namespace sorvane::testing {

class X11TestKeyboard {
public:
    explicit X11TestKeyboard(const std::string& display) : m_display(XOpenDisplay(display.c_str())) {}
    ~X11TestKeyboard() {
        if (m_display)
            XCloseDisplay(m_display);
    }
    X11TestKeyboard(const X11TestKeyboard&) = delete;
    X11TestKeyboard& operator=(const X11TestKeyboard&) = delete;

    bool connected() const { return m_display != nullptr; }
    Display* display() const { return m_display; }
    KeyCode keycode(KeySym sym) const { return XKeysymToKeycode(m_display, sym); }

    // This client's passive grab of `sym` with the X modifiers `mods` on the
    // root window: 0 when it holds, otherwise the X error code (BadAccess, 10,
    // when another client holds it).
    int grab(KeySym sym, unsigned mods) {
        s_error = 0;
        XSync(m_display, False);
        const auto previous = XSetErrorHandler(recordError);
        XGrabKey(m_display, keycode(sym), mods, DefaultRootWindow(m_display), False, GrabModeAsync, GrabModeAsync);
        XSync(m_display, False);
        XSetErrorHandler(previous);
        return s_error;
    }
    void ungrab(KeySym sym, unsigned mods) {
        XUngrabKey(m_display, keycode(sym), mods, DefaultRootWindow(m_display));
        XSync(m_display, False);
    }

    // A press comes at least a millisecond after what came before, as a hand
    // types: two presses are never at the same server time.
    void key(KeySym sym, bool down) {
        XTestFakeKeyEvent(m_display, keycode(sym), down ? True : False, down ? 1 : 0);
        XSync(m_display, False);
    }
    // The modifiers down in order, the key pressed and released, the modifiers up.
    void press(std::initializer_list<KeySym> modifiers, KeySym sym) {
        for (KeySym m : modifiers)
            key(m, true);
        key(sym, true);
        key(sym, false);
        for (auto m = std::rbegin(modifiers); m != std::rend(modifiers); ++m)
            key(*m, false);
    }
    // Turns a lock (Num_Lock, Caps_Lock) on or off with a press of its key.
    void toggle(KeySym lock) { press({}, lock); }
    // The modifier and lock state the server reports now.
    unsigned state() {
        Window root = 0, child = 0;
        int rx = 0, ry = 0, x = 0, y = 0;
        unsigned mask = 0;
        XQueryPointer(m_display, DefaultRootWindow(m_display), &root, &child, &rx, &ry, &x, &y, &mask);
        return mask;
    }

private:
    static int recordError(Display*, XErrorEvent* error) {
        s_error = error->error_code;
        return 0;
    }
    static inline int s_error = 0;
    Display* m_display;
};

} // namespace sorvane::testing
