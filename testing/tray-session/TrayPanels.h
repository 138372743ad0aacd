// Real desktop panels with a tray for the tray tests, and what a user sees of
// them, read from the X server: tint2 (an XEmbed tray; dark as it ships, or
// with a light panel) and xfce4-panel (a StatusNotifierItem host that also
// takes XEmbed icons, with a task list), each on a given display and session
// bus and stopped when its object dies.
#pragma once

#include "testing/x-session/XSession.h"

#include <QImage>
#include <QRect>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sorvane::testing {

enum class TrayPanel { tint2Dark, tint2Light, xfce };

// "tint2-dark", "tint2-light", "xfce4-panel".
const char* trayPanelName(TrayPanel panel);

class PanelProcess {
public:
    // Writes the panel's settings under `workDir` and starts it (xfce4-panel
    // after its settings daemon, xfconfd, has taken its name on the bus).
    // `dataHome` is the panel's XDG_DATA_HOME, where it finds icon themes.
    PanelProcess(TrayPanel panel, const std::string& display, const std::string& sessionBus,
                 const std::filesystem::path& workDir, const std::filesystem::path& dataHome);
    ~PanelProcess();
    PanelProcess(const PanelProcess&) = delete;
    PanelProcess& operator=(const PanelProcess&) = delete;

    // True once the panel is mapped and its tray is up; the reason otherwise.
    bool running() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }
    // The panel's window on the screen.
    QRect rect() const { return m_rect; }

private:
    std::unique_ptr<ChildProcess> m_settings;
    std::unique_ptr<ChildProcess> m_panel;
    QRect m_rect;
    std::string m_error;
};

// The whole screen.
QImage grabScreen(const std::string& display);
// The rectangle on screen of the window that a program docked into the XEmbed
// tray: the descendant of `panelWindowOf(display)` carrying _XEMBED_INFO whose
// WM_CLASS (either part, any case) is `cls`, or any when `cls` is empty;
// absent when there is none.
std::optional<QRect> xembedIconRect(const std::string& display, const std::string& cls);

// A top-level client window of the window manager (_NET_CLIENT_LIST).
struct ClientWindow {
    unsigned long id = 0;
    std::string cls;   // WM_CLASS class part
    std::string title; // _NET_WM_NAME, else WM_NAME
    bool viewable = false;
    std::vector<std::string> states; // _NET_WM_STATE atom names
    std::vector<std::string> types;  // _NET_WM_WINDOW_TYPE atom names
};
std::vector<ClientWindow> clientWindows(const std::string& display);
// The window that has the keyboard focus (XGetInputFocus), its top-level client
// if one of its ancestors is a client.
unsigned long focusedClient(const std::string& display);

// How the icon in `iconRect` of `screen` stands out from the panel around it.
// A symbol reads by its body or by its outline, whichever stands out: the
// icon's contrast is the one that a quarter of its pixels (those that differ
// from the panel) reach or exceed, and the pixels at 3:1 or more should span
// the symbol.
struct IconContrast {
    QRgb background = 0; // the commonest colour of the ring just outside the rectangle
    int iconPixels = 0;  // pixels inside that differ from it
    QRect iconBox;       // the box of those pixels
    double ratio = 0;    // WCAG contrast reached by the quarter of them that stands out most
    int inkPixels = 0;   // that quarter
    QRect inkBox;        // the box of the pixels at 3:1 or more
};
IconContrast measureIconContrast(const QImage& screen, const QRect& iconRect);
// WCAG 2 contrast ratio of two colours (1 to 21).
double contrastRatio(QRgb a, QRgb b);

// The box of the pixels that differ between two pictures of the same size.
QRect differingBox(const QImage& a, const QImage& b, int tolerance = 8);

// Polls `condition` every 50 ms until it holds; false on timeout.
template <class F>
bool waitUntil(F condition, std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        struct timespec ts {
            0, 50000000
        };
        nanosleep(&ts, nullptr);
    }
    return true;
}

} // namespace sorvane::testing
