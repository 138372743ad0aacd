#include "testing/x-session/XSession.h"

#include <X11/Xlib.h>
#include <poll.h>

namespace sorvane::testing {

XSession::XSession(Options options) {
    if (!findProgram("Xvfb")) {
        m_error = "Xvfb not found: install the xvfb package (scripts/deps.sh installs it)";
        return;
    }
    if (options.windowManager && !findProgram("openbox")) {
        m_error = "openbox not found: install the openbox package (scripts/deps.sh installs it)";
        return;
    }
    std::vector<std::string> argv{"Xvfb", "-displayfd", "3", "-nolisten",
                                  "tcp",  "-screen",    "0", "800x600x24"};
    if (!options.xtest) {
        argv.push_back("-extension");
        argv.push_back("XTEST");
    }
    ChildProcess::Options xvfb;
    xvfb.outputFd = 3;
    m_xvfb = std::make_unique<ChildProcess>(argv, xvfb);
    const auto number = m_xvfb->readLine(std::chrono::seconds(15));
    if (!number) {
        m_error = "Xvfb did not start";
        return;
    }
    m_display = ":" + *number;
    if (!options.windowManager)
        return;

    m_wm = std::make_unique<ChildProcess>(std::vector<std::string>{"openbox", "--sm-disable"},
                                          onDisplay(m_display, false));
    Display* d = XOpenDisplay(m_display.c_str());
    if (!d) {
        m_error = "cannot open " + m_display;
        return;
    }
    const Atom check = XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False);
    const bool ready = eventually(
        [&] {
            Atom type;
            int format;
            unsigned long items, after;
            unsigned char* data = nullptr;
            XGetWindowProperty(d, DefaultRootWindow(d), check, 0, 1, False, AnyPropertyType, &type,
                               &format, &items, &after, &data);
            if (data)
                XFree(data);
            return items > 0;
        },
        std::chrono::seconds(15));
    // A window mapped while openbox is still starting can be left unmapped:
    // wait until a probe window of ours gets mapped, asking again if need be.
    bool managing = false;
    if (ready) {
        const Window probe = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 10, 10, 0, 0, 0);
        XSelectInput(d, probe, StructureNotifyMask);
        for (int attempt = 0; attempt < 30 && !managing; ++attempt) {
            XMapWindow(d, probe);
            XFlush(d);
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
            while (!managing && std::chrono::steady_clock::now() < until) {
                XEvent e;
                if (XCheckTypedWindowEvent(d, probe, MapNotify, &e)) {
                    managing = true;
                    break;
                }
                pollfd input{ConnectionNumber(d), POLLIN, 0};
                poll(&input, 1, 20);
            }
            if (!managing)
                XUnmapWindow(d, probe);
        }
        XDestroyWindow(d, probe);
        XSync(d, False);
    }
    XCloseDisplay(d);
    if (!ready || !managing)
        m_error = "openbox did not start on " + m_display;
}

XSession::~XSession() {
    m_wm.reset();
    killServer();
}

void XSession::killServer() {
    m_xvfb.reset();
}

bool xclipCopy(const std::string& display, const std::string& text,
               const std::vector<std::string>& extraArgs) {
    Display* d = XOpenDisplay(display.c_str());
    if (!d)
        return false;
    const Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
    const Window before = XGetSelectionOwner(d, clipboard);
    std::vector<std::string> argv{"xclip", "-selection", "clipboard"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    bool ok = false;
    {
        Subprocess xclip(argv, display);
        if (xclip.started()) {
            xclip.write(text);
            xclip.closeInput();
            ok = xclip.wait(std::chrono::seconds(10)) == 0;
        }
    }
    // xclip's background half takes over the selection; wait until it has.
    ok = ok && eventually([&] {
             const Window now = XGetSelectionOwner(d, clipboard);
             return now != None && now != before;
         });
    XCloseDisplay(d);
    return ok;
}

std::optional<std::string> xclipPaste(const std::string& display) {
    Subprocess xclip({"xclip", "-o", "-selection", "clipboard"}, display);
    if (!xclip.started())
        return std::nullopt;
    xclip.closeInput();
    auto out = xclip.readAll(std::chrono::seconds(120));
    if (xclip.wait(std::chrono::seconds(10)) != 0)
        return std::nullopt;
    return out;
}

} // namespace sorvane::testing
