// The real sorvane program started without an X display: its first log line is
// "Sorvane starting…", the line about the missing display comes right after,
// and SIGTERM ends it cleanly. A private dbus-daemon stands in for the system
// bus (no bluetoothd on it), the session bus is unreachable. On a private Xvfb
// with openbox, with a stand-in bluetoothd: the global shortcut, pressed as a
// user does, shows the panel and hides it again.

#include "testing/child-process/ChildProcess.h"
#include "testing/dbus-daemon/DbusDaemon.h"
#include "testing/test-env/TempDir.h"
#include "testing/x-session/XSession.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <X11/extensions/XTest.h>

namespace sorvane::testing {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> linesOf(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool anyContains(const std::vector<std::string>& lines, std::string_view needle) {
    for (const auto& l : lines)
        if (l.find(needle) != std::string::npos)
            return true;
    return false;
}

TEST(StartUpProcess, TheStartLineComesFirstAndTheMissingDisplayFollowsIt) {
    DbusDaemon bus;
    if (!bus.running())
        GTEST_SKIP() << "dbus-daemon not available";
    TempDir dir;
    const auto log = dir.path() / "sorvane.log";
    ChildProcess::Options options;
    options.logFile = log.string();
    options.env = {{"DISPLAY", std::nullopt},
                   {"WAYLAND_DISPLAY", std::nullopt},
                   {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()},
                   {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir.path() / "no-bus").string()},
                   {"XDG_DATA_HOME", (dir.path() / "data").string()},
                   {"XDG_CONFIG_HOME", (dir.path() / "config").string()},
                   {"LANG", "C.UTF-8"}};
    ChildProcess sorvane({SORVANE_PROGRAM}, options);
    ASSERT_TRUE(sorvane.started());

    // The program only writes its log; wait for the ready line in it.
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (!anyContains(linesOf(log), "Sorvane: ready") && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(50ms);
    ::kill(sorvane.pid(), SIGTERM);
    EXPECT_EQ(sorvane.wait(20s), 0);

    const auto lines = linesOf(log);
    ASSERT_GE(lines.size(), 2u) << "no log from sorvane";
    EXPECT_EQ(lines[0], "Sorvane starting\u2026");
    EXPECT_NE(lines[1].find("Sorvane: no X display (DISPLAY not set)"), std::string::npos)
        << lines[1];
    EXPECT_TRUE(anyContains(lines, "Sorvane: ready"));
    EXPECT_EQ(lines.back(), "Sorvane: shutdown complete");
}

// A session whose bus starts gnome-keyring on demand, with an empty home: the
// keyring answers but has no default collection to store in. The real program
// starts, keeps its key in the 0600 file, and finds the same key at its next start.
TEST(StartUpProcess, AKeyringWithoutADefaultCollectionKeepsTheKeyInTheFileAcrossStarts) {
    const auto daemon = findProgram("gnome-keyring-daemon");
    if (!daemon)
        GTEST_SKIP() << "gnome-keyring-daemon not available";
    TempDir dir;
    const auto home = dir.path() / "home";
    const auto services = dir.path() / "services";
    for (const auto& d : {home / "data", home / "config", home / "cache", home / "runtime", services})
        std::filesystem::create_directories(d);
    ::chmod((home / "runtime").c_str(), 0700);
    const auto pidFile = dir.path() / "keyring.pid";
    std::ofstream(services / "org.freedesktop.secrets.service")
        << "[D-BUS Service]\nName=org.freedesktop.secrets\nExec=/bin/sh -c 'echo $$ > " << pidFile.string()
        << " && exec env HOME=" << home.string() << " XDG_DATA_HOME=" << (home / "data").string()
        << " XDG_CONFIG_HOME=" << (home / "config").string()
        << " XDG_CACHE_HOME=" << (home / "cache").string()
        << " XDG_RUNTIME_DIR=" << (home / "runtime").string() << " " << *daemon
        << " --start --foreground --components=secrets'\n";
    DbusDaemon session(dir.path() / "session-bus", services);
    DbusDaemon system;
    ASSERT_TRUE(session.running() && system.running());
    const auto keyFile = home / "data" / "org.sorvane.app" / "org.sorvane.identity-ed25519.key";

    auto runOnce = [&](const std::string& name) {
        const auto log = dir.path() / (name + ".log");
        ChildProcess::Options options;
        options.logFile = log.string();
        options.env = {{"DISPLAY", std::nullopt},
                       {"WAYLAND_DISPLAY", std::nullopt},
                       {"HOME", home.string()},
                       {"DBUS_SYSTEM_BUS_ADDRESS", system.address()},
                       {"DBUS_SESSION_BUS_ADDRESS", session.address()},
                       {"XDG_DATA_HOME", (home / "data").string()},
                       {"XDG_CONFIG_HOME", (home / "config").string()},
                       {"LANG", "C.UTF-8"}};
        ChildProcess sorvane({SORVANE_PROGRAM}, options);
        EXPECT_TRUE(sorvane.started());
        const auto until = std::chrono::steady_clock::now() + 30s;
        while (!anyContains(linesOf(log), "Sorvane: ready") && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(50ms);
        ::kill(sorvane.pid(), SIGTERM);
        EXPECT_EQ(sorvane.wait(20s), 0) << name;
        return linesOf(log);
    };

    const auto first = runOnce("first");
    EXPECT_TRUE(anyContains(first, "Sorvane: ready")) << "the first start did not get going";
    EXPECT_FALSE(anyContains(first, "fatal init error"));
    EXPECT_TRUE(std::filesystem::exists(pidFile)) << "the keyring was not started on demand";
    struct stat st {};
    ASSERT_EQ(::stat(keyFile.c_str(), &st), 0) << "no key file";
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 32);
    auto contentOf = [](const std::filesystem::path& file) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    };
    const std::string key = contentOf(keyFile);

    const auto second = runOnce("second");
    EXPECT_TRUE(anyContains(second, "Sorvane: ready"));
    EXPECT_EQ(contentOf(keyFile), key) << "the second start must find the same key";
    auto readyLine = [](const std::vector<std::string>& lines) {
        for (const auto& l : lines)
            if (l.starts_with("Sorvane: ready"))
                return l;
        return std::string();
    };
    EXPECT_EQ(readyLine(first), readyLine(second)) << "the same device";

    pid_t pid = 0;
    std::ifstream pidIn(pidFile);
    if (pidIn >> pid && pid > 0)
        ::kill(pid, SIGTERM);
}

// Windows come and go while the tree is walked: errors about them are ignored.
int ignoreXError(Display*, XErrorEvent*) {
    return 0;
}

// Whether a window titled `title` is mapped and viewable anywhere on the screen.
bool viewableWindowTitled(Display* display, Window window, const std::string& title) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, window, &attributes) || attributes.map_state != IsViewable)
        return false;
    XTextProperty name{};
    if (XGetWMName(display, window, &name) && name.value) {
        const bool match = std::string(reinterpret_cast<const char*>(name.value), name.nitems) == title;
        XFree(name.value);
        if (match)
            return true;
    }
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, window, &root, &parent, &children, &count))
        return false;
    bool found = false;
    for (unsigned i = 0; i < count && !found; ++i)
        found = viewableWindowTitled(display, children[i], title);
    if (children)
        XFree(children);
    return found;
}

TEST(StartUpProcess, OnADesktopTheShortcutShowsThePanelAndHidesItAgain) {
    XSession x;
    if (!x.running())
        GTEST_SKIP() << x.error();
    TempDir dir;
    DbusDaemon session(dir.path() / "session-bus");
    DbusDaemon system(dir.path() / "system-bus");
    ASSERT_TRUE(session.running() && system.running());
    ChildProcess::Options fakeOptions;
    fakeOptions.outputFd = 1;
    ChildProcess bluetoothd({SORVANE_FAKE_BLUETOOTHD, "--bus", system.address()}, fakeOptions);
    ASSERT_TRUE(bluetoothd.waitForLine("fake-bluetoothd: ready", 30s)) << "the stand-in bluetoothd did not start";

    const auto log = dir.path() / "sorvane.log";
    ChildProcess::Options options;
    options.logFile = log.string();
    options.env = {{"DISPLAY", x.display()},
                   {"WAYLAND_DISPLAY", std::nullopt},
                   {"QT_QPA_PLATFORM", "xcb"},
                   {"HOME", (dir.path() / "home").string()},
                   {"DBUS_SYSTEM_BUS_ADDRESS", system.address()},
                   {"DBUS_SESSION_BUS_ADDRESS", session.address()},
                   {"XDG_DATA_HOME", (dir.path() / "data").string()},
                   {"XDG_CONFIG_HOME", (dir.path() / "config").string()},
                   {"XDG_RUNTIME_DIR", dir.path().string()},
                   {"LANG", "C.UTF-8"}};
    ChildProcess sorvane({SORVANE_PROGRAM}, options);
    ASSERT_TRUE(sorvane.started());
    ASSERT_TRUE(eventually([&] { return anyContains(linesOf(log), "Sorvane: ready"); }, 30s))
        << "sorvane never got ready";
    EXPECT_TRUE(anyContains(linesOf(log), "Sorvane: hotkey registered (Shift+Super+V)"));

    Display* d = XOpenDisplay(x.display().c_str());
    ASSERT_TRUE(d);
    const auto previousHandler = XSetErrorHandler(ignoreXError);
    auto pressShortcut = [d] {
        const KeyCode keys[] = {XKeysymToKeycode(d, XK_Shift_L), XKeysymToKeycode(d, XK_Super_L),
                                XKeysymToKeycode(d, XK_v)};
        for (KeyCode k : keys)
            XTestFakeKeyEvent(d, k, True, 0);
        for (auto k = std::rbegin(keys); k != std::rend(keys); ++k)
            XTestFakeKeyEvent(d, *k, False, 0);
        XSync(d, False);
    };
    auto panelShown = [d] { return viewableWindowTitled(d, DefaultRootWindow(d), "Sorvane"); };
    EXPECT_FALSE(panelShown()) << "the panel is shown before any press";
    pressShortcut();
    EXPECT_TRUE(eventually(panelShown, 10s)) << "Shift+Super+V did not show the panel";
    pressShortcut();
    EXPECT_TRUE(eventually([&] { return !panelShown(); }, 10s)) << "Shift+Super+V again did not hide the panel";
    pressShortcut();
    EXPECT_TRUE(eventually(panelShown, 10s)) << "a third press did not show it again";
    XCloseDisplay(d);
    XSetErrorHandler(previousHandler);

    ::kill(sorvane.pid(), SIGTERM);
    EXPECT_EQ(sorvane.wait(20s), 0);
}

} // namespace
} // namespace sorvane::testing
