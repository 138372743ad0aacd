#include "adapters/qt/ui/PanelClickWatcher.h"

#include "base/Log.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <cstdlib>

// After Qt: Xlib's macros (None, Bool, Status…) would break Qt's headers.
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

namespace sorvane {

PanelClickWatcher::PanelClickWatcher(QWidget& panel, std::function<void()> onOutside)
    : QObject(&panel), m_panel(panel), m_onOutside(std::move(onOutside)) {
    qApp->installEventFilter(this);
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        openX11();
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (!m_hidesOnFocusLoss || state == Qt::ApplicationActive || !m_panel.isVisible())
            return;
        // Judged on the next turn: the focus may only be passing to another
        // window of ours.
        QTimer::singleShot(0, this, [this] {
            if (QGuiApplication::applicationState() != Qt::ApplicationActive && m_panel.isVisible() &&
                m_onOutside)
                m_onOutside();
        });
    });
}

bool PanelClickWatcher::waylandSessionFromEnvironment() {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return wayland && *wayland;
}

PanelClickWatcher::~PanelClickWatcher() {
    delete m_notifier;
    if (m_display)
        XCloseDisplay(m_display);
}

void PanelClickWatcher::openX11() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        logLine("Sorvane: the panel cannot watch clicks in other windows: no X display");
        return;
    }
    int event = 0, error = 0, major = 2, minor = 0;
    if (!XQueryExtension(display, "XInputExtension", &m_xiOpcode, &event, &error) ||
        XIQueryVersion(display, &major, &minor) != Success) {
        logLine("Sorvane: the panel cannot watch clicks in other windows: no XInput 2");
        XCloseDisplay(display);
        return;
    }
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawButtonPress);
    XIEventMask mask{XIAllMasterDevices, sizeof bits, bits};
    XISelectEvents(display, DefaultRootWindow(display), &mask, 1);
    XFlush(display);
    m_display = display;
    m_notifier = new QSocketNotifier(ConnectionNumber(display), QSocketNotifier::Read);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { readX11(); });
}

void PanelClickWatcher::readX11() {
    bool click = false;
    while (XPending(m_display) > 0) {
        XEvent event;
        XNextEvent(m_display, &event);
        XGenericEventCookie* cookie = &event.xcookie;
        if (cookie->type != GenericEvent || cookie->extension != m_xiOpcode || !XGetEventData(m_display, cookie))
            continue;
        if (cookie->evtype == XI_RawButtonPress) {
            const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
            // Left, middle and right; wheel steps (4 to 7) scroll, they do not click.
            if (raw->detail >= 1 && raw->detail <= 3)
                click = true;
        }
        XFreeEventData(m_display, cookie);
    }
    if (!click || !m_panel.isVisible())
        return;
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, x = 0, y = 0;
    unsigned int buttons = 0;
    if (!XQueryPointer(m_display, DefaultRootWindow(m_display), &root, &child, &rootX, &rootY, &x, &y, &buttons))
        return;
    // Native pixels to Qt's device-independent ones, through Qt's own screens.
    std::vector<ScreenPlacement> screens;
    for (const QScreen* screen : QGuiApplication::screens())
        screens.push_back({screen->geometry().topLeft(), screen->geometry().size(), screen->devicePixelRatio()});
    const QPoint at = nativeToLogical(QPoint(rootX, rootY), screens);
    if (!m_panel.frameGeometry().contains(at))
        outside();
}

QPoint nativeToLogical(QPoint native, const std::vector<ScreenPlacement>& screens) {
    for (const ScreenPlacement& s : screens) {
        const QRect nativeArea(s.origin, QSize(qRound(s.size.width() * s.ratio), qRound(s.size.height() * s.ratio)));
        if (nativeArea.contains(native))
            return s.origin + QPoint(qRound((native.x() - s.origin.x()) / s.ratio),
                                     qRound((native.y() - s.origin.y()) / s.ratio));
    }
    const qreal ratio = screens.empty() ? 1.0 : screens.front().ratio;
    return QPoint(qRound(native.x() / ratio), qRound(native.y() / ratio));
}

bool PanelClickWatcher::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress && m_panel.isVisible() && watched->isWidgetType()) {
        // A press another window of ours takes (it may be offered to each of
        // the widget's parents too; hiding twice is harmless).
        if (static_cast<QWidget*>(watched)->window() != &m_panel)
            outside();
    }
    return false;
}

void PanelClickWatcher::outside() {
    // Never inside the event being delivered: hide on the next turn.
    QTimer::singleShot(0, this, [this] {
        if (m_panel.isVisible() && m_onOutside)
            m_onOutside();
    });
}

} // namespace sorvane
