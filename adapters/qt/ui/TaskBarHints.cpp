#include "adapters/qt/ui/TaskBarHints.h"

#include <QEvent>
#include <QGuiApplication>
#include <QObject>
#include <QWidget>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <vector>

namespace sorvane {
namespace {

void addSkipStates(Display* display, Window window) {
    const Atom state = XInternAtom(display, "_NET_WM_STATE", False);
    const Atom wanted[] = {XInternAtom(display, "_NET_WM_STATE_SKIP_TASKBAR", False),
                           XInternAtom(display, "_NET_WM_STATE_SKIP_PAGER", False)};
    std::vector<Atom> atoms;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, state, 0, 1024, False, XA_ATOM, &type, &format, &count, &after,
                           &data) == Success &&
        data) {
        if (type == XA_ATOM && format == 32) {
            const auto* existing = reinterpret_cast<const unsigned long*>(data);
            atoms.assign(existing, existing + count);
        }
        XFree(data);
    }
    for (Atom a : wanted)
        if (std::find(atoms.begin(), atoms.end(), a) == atoms.end())
            atoms.push_back(a);
    XChangeProperty(display, window, state, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(atoms.data()), static_cast<int>(atoms.size()));
    XFlush(display);
}

class SkipTaskBarFilter final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // The show event comes after the native window exists and before Qt maps it.
        if (event->type() == QEvent::Show) {
            auto* widget = static_cast<QWidget*>(watched);
            auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
            if (x11 && x11->display() && widget->isWindow() && widget->internalWinId())
                addSkipStates(x11->display(), static_cast<Window>(widget->internalWinId()));
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

void keepOutOfTaskBars(QWidget* window) {
    window->installEventFilter(new SkipTaskBarFilter(window));
}

} // namespace sorvane
