#include "testing/tray-session/TrayPanels.h"

#include "testing/tray-session/TraySession.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

namespace sorvane::testing {
namespace {

using namespace std::chrono_literals;

struct XDisplay {
    explicit XDisplay(const std::string& name) : d(XOpenDisplay(name.c_str())) {}
    ~XDisplay() {
        if (d)
            XCloseDisplay(d);
    }
    XDisplay(const XDisplay&) = delete;
    XDisplay& operator=(const XDisplay&) = delete;
    Display* d;
};

// Atoms or windows (format 32) of a property; empty when absent.
std::vector<unsigned long> longs(Display* d, Window w, const char* property) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> out;
    if (XGetWindowProperty(d, w, XInternAtom(d, property, False), 0, 4096, False, AnyPropertyType, &type,
                           &format, &count, &after, &data) == Success &&
        data) {
        if (format == 32) {
            const auto* values = reinterpret_cast<const unsigned long*>(data);
            out.assign(values, values + count);
        }
        XFree(data);
    }
    return out;
}

bool hasProperty(Display* d, Window w, const char* property) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const bool has = XGetWindowProperty(d, w, XInternAtom(d, property, False), 0, 1, False, AnyPropertyType, &type,
                                        &format, &count, &after, &data) == Success &&
                     type != None;
    if (data)
        XFree(data);
    return has;
}

std::pair<std::string, std::string> classOf(Display* d, Window w) {
    XClassHint hint{nullptr, nullptr};
    std::pair<std::string, std::string> out;
    if (XGetClassHint(d, w, &hint)) {
        out = {hint.res_name ? hint.res_name : "", hint.res_class ? hint.res_class : ""};
        XFree(hint.res_name);
        XFree(hint.res_class);
    }
    return out;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool classIs(Display* d, Window w, const std::string& cls) {
    const auto [name, klass] = classOf(d, w);
    return lower(name) == lower(cls) || lower(klass) == lower(cls);
}

std::optional<QRect> screenRect(Display* d, Window w) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(d, w, &attributes) || attributes.map_state != IsViewable)
        return std::nullopt;
    int x = 0, y = 0;
    Window child = None;
    XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, &x, &y, &child);
    return QRect(x, y, attributes.width, attributes.height);
}

void forEachWindow(Display* d, Window w, const std::function<void(Window)>& visit) {
    Window root = None, parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(d, w, &root, &parent, &children, &count))
        return;
    std::vector<Window> list(children, children + count);
    if (children)
        XFree(children);
    for (Window child : list) {
        visit(child);
        forEachWindow(d, child, visit);
    }
}

// The biggest viewable window of class `cls` anywhere in the tree.
std::optional<QRect> biggestWindowOf(Display* d, const std::string& cls) {
    std::optional<QRect> best;
    forEachWindow(d, DefaultRootWindow(d), [&](Window w) {
        if (!classIs(d, w, cls))
            return;
        const auto rect = screenRect(d, w);
        if (rect && (!best || rect->width() * rect->height() > best->width() * best->height()))
            best = rect;
    });
    return best;
}

bool trayOwned(Display* d) {
    return XGetSelectionOwner(d, XInternAtom(d, "_NET_SYSTEM_TRAY_S0", False)) != None;
}

double linear(int channel) {
    const double c = channel / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(QRgb c) {
    return 0.2126 * linear(qRed(c)) + 0.7152 * linear(qGreen(c)) + 0.0722 * linear(qBlue(c));
}

int channelDistance(QRgb a, QRgb b) {
    return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b))});
}

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// tint2 as it ships, without the clock (its minutes would change the panel
// while a test compares pictures of it); the light panel swaps the panel's
// background and the texts' colours.
std::string tint2Config(bool light) {
    std::string rc = readAll("/etc/xdg/tint2/tint2rc");
    rc = std::regex_replace(rc, std::regex("panel_items = LTSC"), "panel_items = LTS");
    if (light) {
        // Background 1 is the panel's.
        rc = std::regex_replace(rc, std::regex("background_color = #000000 60"), "background_color = #ececec 100",
                                std::regex_constants::format_first_only);
        rc = std::regex_replace(rc, std::regex("(font_color = )#[0-9a-fA-F]{6}"), "$1#202020");
    }
    return rc;
}

const char* kXfcePanelChannel = R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=10;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="30"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
        <value type="int" value="2"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="tasklist"/>
    <property name="plugin-2" type="string" value="systray"/>
  </property>
</channel>
)";

std::optional<std::string> xfconfd() {
    for (const char* path : {"/usr/lib/x86_64-linux-gnu/xfce4/xfconf/xfconfd", "/usr/lib/xfce4/xfconf/xfconfd",
                             "/usr/libexec/xfconfd"})
        if (std::ifstream(path).good())
            return std::string(path);
    return findProgram("xfconfd");
}

bool onBus(const std::string& bus, const std::string& name) {
    try {
        const auto names = busNames(bus);
        return std::find(names.begin(), names.end(), name) != names.end();
    } catch (...) {
        return false;
    }
}

} // namespace

const char* trayPanelName(TrayPanel panel) {
    switch (panel) {
    case TrayPanel::tint2Dark:
        return "tint2-dark";
    case TrayPanel::tint2Light:
        return "tint2-light";
    case TrayPanel::xfce:
        return "xfce4-panel";
    }
    return "?";
}

PanelProcess::PanelProcess(TrayPanel panel, const std::string& display, const std::string& sessionBus,
                           const std::filesystem::path& workDir, const std::filesystem::path& dataHome) {
    namespace fs = std::filesystem;
    const fs::path config = workDir / "panel-config";
    fs::create_directories(config);
    ChildProcess::Options options;
    options.env = {{"DISPLAY", display},
                   {"DBUS_SESSION_BUS_ADDRESS", sessionBus},
                   {"XDG_CONFIG_HOME", config.string()},
                   {"XDG_DATA_HOME", dataHome.string()},
                   {"XDG_CACHE_HOME", (workDir / "panel-cache").string()},
                   {"XDG_CURRENT_DESKTOP", std::nullopt},
                   {"GTK_THEME", std::nullopt}};
    options.logFile = (workDir / "panel.log").string();
    XDisplay x(display);
    if (!x.d) {
        m_error = "cannot open " + display;
        return;
    }
    std::string cls;
    if (panel == TrayPanel::xfce) {
        const auto daemon = xfconfd();
        if (!daemon || !findProgram("xfce4-panel")) {
            m_error = "xfce4-panel or xfconfd not found: install xfce4-panel and xfconf (scripts/deps.sh installs them)";
            return;
        }
        const fs::path channels = config / "xfce4" / "xfconf" / "xfce-perchannel-xml";
        fs::create_directories(channels);
        std::ofstream(channels / "xfce4-panel.xml") << kXfcePanelChannel;
        // Its settings come from xfconfd over the session bus, which activates nothing here.
        m_settings = std::make_unique<ChildProcess>(std::vector<std::string>{*daemon}, options);
        if (!waitUntil([&] { return onBus(sessionBus, "org.xfce.Xfconf"); }, 30s)) {
            m_error = "xfconfd did not take org.xfce.Xfconf";
            return;
        }
        m_panel = std::make_unique<ChildProcess>(std::vector<std::string>{"xfce4-panel", "--disable-wm-check"},
                                                 options);
        cls = "xfce4-panel";
        if (!waitUntil([&] { return onBus(sessionBus, "org.kde.StatusNotifierWatcher"); }, 60s)) {
            m_error = "xfce4-panel's tray did not take org.kde.StatusNotifierWatcher";
            return;
        }
    } else {
        if (!findProgram("tint2")) {
            m_error = "tint2 not found: install tint2 (scripts/deps.sh installs it)";
            return;
        }
        const fs::path rc = workDir / "tint2rc";
        std::ofstream(rc) << tint2Config(panel == TrayPanel::tint2Light);
        m_panel = std::make_unique<ChildProcess>(std::vector<std::string>{"tint2", "-c", rc.string()}, options);
        cls = "tint2";
    }
    std::optional<QRect> rect;
    if (!waitUntil(
            [&] {
                rect = biggestWindowOf(x.d, cls);
                return trayOwned(x.d) && rect && rect->width() > 100;
            },
            60s)) {
        m_error = std::string(trayPanelName(panel)) + " did not show a panel with a tray";
        return;
    }
    m_rect = *rect;
}

PanelProcess::~PanelProcess() {
    m_panel.reset();
    m_settings.reset();
}

QImage grabScreen(const std::string& display) {
    XDisplay x(display);
    if (!x.d)
        return {};
    const Window root = DefaultRootWindow(x.d);
    XWindowAttributes attributes;
    XGetWindowAttributes(x.d, root, &attributes);
    XImage* image = XGetImage(x.d, root, 0, 0, static_cast<unsigned>(attributes.width),
                              static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
    if (!image)
        return {};
    QImage out(attributes.width, attributes.height, QImage::Format_RGB32);
    for (int y = 0; y < attributes.height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int xx = 0; xx < attributes.width; ++xx) {
            const unsigned long p = XGetPixel(image, xx, y);
            line[xx] = qRgb(static_cast<int>((p & image->red_mask) >> 16), static_cast<int>((p & image->green_mask) >> 8),
                            static_cast<int>(p & image->blue_mask));
        }
    }
    XDestroyImage(image);
    return out;
}

std::optional<QRect> xembedIconRect(const std::string& display, const std::string& cls) {
    XDisplay x(display);
    if (!x.d)
        return std::nullopt;
    std::optional<QRect> found;
    forEachWindow(x.d, DefaultRootWindow(x.d), [&](Window w) {
        if (!found && hasProperty(x.d, w, "_XEMBED_INFO") && (cls.empty() || classIs(x.d, w, cls)))
            found = screenRect(x.d, w);
    });
    return found;
}

std::vector<ClientWindow> clientWindows(const std::string& display) {
    XDisplay x(display);
    std::vector<ClientWindow> out;
    if (!x.d)
        return out;
    auto names = [&](const std::vector<unsigned long>& atoms) {
        std::vector<std::string> list;
        for (unsigned long a : atoms) {
            char* name = XGetAtomName(x.d, a);
            if (name) {
                list.emplace_back(name);
                XFree(name);
            }
        }
        return list;
    };
    for (unsigned long id : longs(x.d, DefaultRootWindow(x.d), "_NET_CLIENT_LIST")) {
        ClientWindow c;
        c.id = id;
        c.cls = classOf(x.d, id).second;
        XTextProperty text{};
        if (XGetTextProperty(x.d, id, &text, XInternAtom(x.d, "_NET_WM_NAME", False)) && text.value) {
            c.title.assign(reinterpret_cast<const char*>(text.value), text.nitems);
            XFree(text.value);
        } else if (XGetWMName(x.d, id, &text) && text.value) {
            c.title.assign(reinterpret_cast<const char*>(text.value), text.nitems);
            XFree(text.value);
        }
        XWindowAttributes attributes;
        c.viewable = XGetWindowAttributes(x.d, id, &attributes) && attributes.map_state == IsViewable;
        c.states = names(longs(x.d, id, "_NET_WM_STATE"));
        c.types = names(longs(x.d, id, "_NET_WM_WINDOW_TYPE"));
        out.push_back(std::move(c));
    }
    return out;
}

unsigned long focusedClient(const std::string& display) {
    XDisplay x(display);
    if (!x.d)
        return 0;
    Window focus = None;
    int revert = 0;
    XGetInputFocus(x.d, &focus, &revert);
    const auto clients = longs(x.d, DefaultRootWindow(x.d), "_NET_CLIENT_LIST");
    for (Window w = focus; w != None && w != PointerRoot;) {
        if (std::find(clients.begin(), clients.end(), w) != clients.end())
            return w;
        Window root = None, parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(x.d, w, &root, &parent, &children, &count))
            break;
        if (children)
            XFree(children);
        if (parent == root)
            break;
        w = parent;
    }
    return focus;
}

double contrastRatio(QRgb a, QRgb b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

IconContrast measureIconContrast(const QImage& screen, const QRect& iconRect) {
    IconContrast result;
    const QRect ring = iconRect.adjusted(-3, -3, 3, 3).intersected(screen.rect());
    std::map<QRgb, int> counts;
    for (int y = ring.top(); y <= ring.bottom(); ++y)
        for (int x = ring.left(); x <= ring.right(); ++x)
            if (!iconRect.contains(x, y))
                ++counts[screen.pixel(x, y) & 0xffffff];
    if (counts.empty())
        return result;
    result.background = std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
                            return a.second < b.second;
                        })->first;
    std::vector<std::pair<double, QPoint>> pixels;
    const QRect inside = iconRect.intersected(screen.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x) {
            const QRgb p = screen.pixel(x, y);
            if (channelDistance(p, result.background) <= 24)
                continue;
            pixels.emplace_back(contrastRatio(p, result.background), QPoint(x, y));
            result.iconBox |= QRect(x, y, 1, 1);
        }
    result.iconPixels = static_cast<int>(pixels.size());
    if (pixels.empty())
        return result;
    std::sort(pixels.begin(), pixels.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    result.inkPixels = std::max(1, result.iconPixels / 4);
    result.ratio = pixels[static_cast<size_t>(result.inkPixels - 1)].first;
    for (const auto& [ratio, at] : pixels)
        if (ratio >= 3.0)
            result.inkBox |= QRect(at, QSize(1, 1));
    return result;
}

QRect differingBox(const QImage& a, const QImage& b, int tolerance) {
    QRect box;
    if (a.size() != b.size())
        return a.rect();
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (channelDistance(a.pixel(x, y), b.pixel(x, y)) > tolerance)
                box |= QRect(x, y, 1, 1);
    return box;
}

} // namespace sorvane::testing
