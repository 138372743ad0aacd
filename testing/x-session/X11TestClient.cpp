// sorvane-x11-test-client: a small X client that the clipboard tests drive
// through its arguments and its standard input and output.
//
//   own [--type T]... [--text S] [--hang] [--die-on-request]
//       Takes CLIPBOARD and offers S as UTF8_STRING plus each type T (whose
//       value is "secret"). Prints "OWNED" once it owns the selection. --hang
//       answers TARGETS but never the text; --die-on-request exits on the
//       first text request without answering. Ends when it loses the selection
//       or its standard input closes.
//   window --class C
//       Maps a window with WM_CLASS class C and _NET_WM_PID, prints
//       "WINDOW <id>". On Control-V it converts CLIPBOARD and prints
//       "PASTED <text>"; every other key press counts. Commands on standard
//       input: "activate" (asks the window manager to activate it), "status"
//       (prints "STATUS keys=<n> pastes=<n>" after a round trip), "quit".
//   incr-abort
//       Starts reading CLIPBOARD as UTF8_STRING, takes the first INCR piece,
//       then destroys its window and exits ("ABORTED <bytes>"; "NOT-INCR" and
//       exit status 2 when the owner sent the text at once).
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

Display* g_display = nullptr;

Atom atom(const char* name) {
    return XInternAtom(g_display, name, False);
}

int ignoreErrors(Display*, XErrorEvent*) {
    return 0;
}

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Reads the whole property; empty when missing.
std::string readText(Window w, Atom property, Atom* typeOut = nullptr) {
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(g_display, w, property, 0, 1L << 24, True, AnyPropertyType, &type,
                           &format, &items, &after, &data) != Success)
        return {};
    std::string out;
    if (data) {
        if (format == 8)
            out.assign(reinterpret_cast<char*>(data), items);
        else if (format == 32 && items > 0)
            out = std::to_string(reinterpret_cast<long*>(data)[0]);
        XFree(data);
    }
    if (typeOut)
        *typeOut = type;
    return out;
}

// Waits for X input or standard input; returns false when stdin closed.
bool waitInput(bool watchStdin, bool* stdinReady) {
    XFlush(g_display);
    if (XPending(g_display) > 0) {
        *stdinReady = false;
        return true;
    }
    pollfd fds[2] = {{ConnectionNumber(g_display), POLLIN, 0}, {0, POLLIN, 0}};
    poll(fds, watchStdin ? 2 : 1, -1);
    *stdinReady = watchStdin && (fds[1].revents & (POLLIN | POLLHUP));
    return true;
}

Window makeWindow(int width, int height) {
    return XCreateSimpleWindow(g_display, DefaultRootWindow(g_display), 10, 10,
                               static_cast<unsigned>(width), static_cast<unsigned>(height), 0, 0,
                               0xffffff);
}

int runOwner(int argc, char** argv) {
    std::vector<std::string> types;
    std::string text;
    bool haveText = false, hang = false, dieOnRequest = false;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--type" && i + 1 < argc)
            types.push_back(argv[++i]);
        else if (a == "--text" && i + 1 < argc)
            text = argv[++i], haveText = true;
        else if (a == "--hang")
            hang = true;
        else if (a == "--die-on-request")
            dieOnRequest = true;
    }
    const Atom clipboard = atom("CLIPBOARD"), targets = atom("TARGETS"), utf8 = atom("UTF8_STRING");
    const Window w = makeWindow(1, 1);
    XSetSelectionOwner(g_display, clipboard, w, CurrentTime);
    if (XGetSelectionOwner(g_display, clipboard) != w)
        return 1;
    say("OWNED");
    for (;;) {
        bool stdinReady = false;
        waitInput(true, &stdinReady);
        if (stdinReady) {
            char buf[256];
            if (read(0, buf, sizeof buf) <= 0)
                return 0;
        }
        while (XPending(g_display) > 0) {
            XEvent e;
            XNextEvent(g_display, &e);
            if (e.type == SelectionClear)
                return 0;
            if (e.type != SelectionRequest)
                continue;
            const XSelectionRequestEvent& r = e.xselectionrequest;
            XEvent reply{};
            reply.xselection.type = SelectionNotify;
            reply.xselection.requestor = r.requestor;
            reply.xselection.selection = r.selection;
            reply.xselection.target = r.target;
            reply.xselection.time = r.time;
            reply.xselection.property = None;
            if (r.target == targets) {
                std::vector<long> list{static_cast<long>(targets)};
                if (haveText)
                    list.push_back(static_cast<long>(utf8));
                for (const auto& t : types)
                    list.push_back(static_cast<long>(atom(t.c_str())));
                XChangeProperty(g_display, r.requestor, r.property, XA_ATOM, 32, PropModeReplace,
                                reinterpret_cast<unsigned char*>(list.data()),
                                static_cast<int>(list.size()));
                reply.xselection.property = r.property;
            } else if (r.target == utf8 && haveText) {
                if (dieOnRequest)
                    _exit(0);
                if (hang)
                    continue;
                XChangeProperty(g_display, r.requestor, r.property, utf8, 8, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
                reply.xselection.property = r.property;
            } else {
                for (const auto& t : types)
                    if (r.target == atom(t.c_str())) {
                        XChangeProperty(g_display, r.requestor, r.property, r.target, 8,
                                        PropModeReplace,
                                        reinterpret_cast<const unsigned char*>("secret"), 6);
                        reply.xselection.property = r.property;
                    }
            }
            XSendEvent(g_display, r.requestor, False, NoEventMask, &reply);
        }
    }
}

void requestActivation(Window w) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = atom("_NET_ACTIVE_WINDOW");
    e.xclient.format = 32;
    e.xclient.data.l[0] = 2;
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(g_display, DefaultRootWindow(g_display), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &e);
    XFlush(g_display);
}

int runWindow(int argc, char** argv) {
    std::string cls = "SorvaneTestWindow";
    for (int i = 0; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--class") == 0)
            cls = argv[i + 1];
    const Window w = makeWindow(300, 120);
    XSelectInput(g_display, w, KeyPressMask | StructureNotifyMask | PropertyChangeMask);
    std::string instance = "sorvane-test";
    XClassHint hint{instance.data(), cls.data()};
    XSetClassHint(g_display, w, &hint);
    XStoreName(g_display, w, cls.c_str());
    XWMHints wm{};
    wm.flags = InputHint;
    wm.input = True;
    XSetWMHints(g_display, w, &wm);
    const long pid = getpid();
    XChangeProperty(g_display, w, atom("_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pid), 1);
    XMapWindow(g_display, w);
    for (;;) {
        XEvent e;
        XNextEvent(g_display, &e);
        if (e.type == MapNotify)
            break;
    }
    say("WINDOW " + std::to_string(w));

    const Atom clipboard = atom("CLIPBOARD"), utf8 = atom("UTF8_STRING"), paste = atom("PASTE");
    int keys = 0, pastes = 0;
    std::string pendingLine;
    auto drain = [&] {
        while (XPending(g_display) > 0) {
            XEvent e;
            XNextEvent(g_display, &e);
            if (e.type == KeyPress) {
                const KeySym sym = XLookupKeysym(&e.xkey, 0);
                if (sym == XK_Control_L || sym == XK_Control_R)
                    continue;
                if (sym == XK_v && (e.xkey.state & ControlMask)) {
                    ++pastes;
                    XConvertSelection(g_display, clipboard, utf8, paste, w, e.xkey.time);
                } else {
                    ++keys;
                }
            } else if (e.type == SelectionNotify && e.xselection.requestor == w) {
                if (e.xselection.property == None)
                    say("PASTED-NOTHING");
                else
                    say("PASTED " + readText(w, paste));
            }
        }
    };
    for (;;) {
        bool stdinReady = false;
        waitInput(true, &stdinReady);
        drain();
        if (!stdinReady)
            continue;
        char buf[256];
        const ssize_t n = read(0, buf, sizeof buf);
        if (n <= 0)
            return 0;
        pendingLine.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = pendingLine.find('\n')) != std::string::npos) {
            const std::string cmd = pendingLine.substr(0, nl);
            pendingLine.erase(0, nl + 1);
            if (cmd == "activate") {
                requestActivation(w);
            } else if (cmd == "status") {
                XSync(g_display, False);
                drain();
                say("STATUS keys=" + std::to_string(keys) + " pastes=" + std::to_string(pastes));
            } else if (cmd == "quit") {
                return 0;
            }
        }
    }
}

int runIncrAbort() {
    const Atom clipboard = atom("CLIPBOARD"), utf8 = atom("UTF8_STRING"), incr = atom("INCR");
    const Atom prop = atom("INCR_TEST");
    const Window w = makeWindow(1, 1);
    XSelectInput(g_display, w, PropertyChangeMask);
    XConvertSelection(g_display, clipboard, utf8, prop, w, CurrentTime);
    for (;;) {
        XEvent e;
        XNextEvent(g_display, &e);
        if (e.type == SelectionNotify)
            break;
    }
    Atom type = None;
    readText(w, prop, &type); // deleting the announcement asks for the first piece
    if (type != incr) {
        say("NOT-INCR");
        return 2;
    }
    for (;;) {
        XEvent e;
        XNextEvent(g_display, &e);
        if (e.type == PropertyNotify && e.xproperty.atom == prop &&
            e.xproperty.state == PropertyNewValue)
            break;
    }
    const std::string piece = readText(w, prop); // asks for the second piece...
    XDestroyWindow(g_display, w);                // ...which then has nowhere to go
    XSync(g_display, False);
    say("ABORTED " + std::to_string(piece.size()));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s own|window|incr-abort [options]\n", argv[0]);
        return 64;
    }
    g_display = XOpenDisplay(nullptr);
    if (!g_display) {
        std::fprintf(stderr, "cannot open display\n");
        return 69;
    }
    XSetErrorHandler(&ignoreErrors);
    const std::string mode = argv[1];
    if (mode == "own")
        return runOwner(argc - 2, argv + 2);
    if (mode == "window")
        return runWindow(argc - 2, argv + 2);
    if (mode == "incr-abort")
        return runIncrAbort();
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 64;
}
