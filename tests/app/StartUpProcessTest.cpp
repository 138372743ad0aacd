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

// The first line that holds `needle`; empty when none does.
std::string lineWith(const std::vector<std::string>& lines, std::string_view needle) {
    for (const auto& l : lines)
        if (l.find(needle) != std::string::npos)
            return l;
    return {};
}

// The program's environment in a session under `root`: home, data, settings and
// runtime directory there, the two buses, and the display when there is one.
EnvChanges sessionUnder(const std::filesystem::path& root, const std::string& systemBus,
                        const std::string& sessionBus, std::optional<std::string> display = {}) {
    return {{"DISPLAY", std::move(display)},
            {"WAYLAND_DISPLAY", std::nullopt},
            {"HOME", (root / "home").string()},
            {"DBUS_SYSTEM_BUS_ADDRESS", systemBus},
            {"DBUS_SESSION_BUS_ADDRESS", sessionBus},
            {"XDG_DATA_HOME", (root / "data").string()},
            {"XDG_CONFIG_HOME", (root / "config").string()},
            {"XDG_RUNTIME_DIR", root.string()},
            {"LANG", "C.UTF-8"}};
}

ChildProcess startSorvane(const std::filesystem::path& log, EnvChanges env) {
    ChildProcess::Options options;
    options.logFile = log.string();
    options.env = std::move(env);
    return ChildProcess({SORVANE_PROGRAM}, options);
}

// The program only writes its log: waits for the ready line in it.
bool becomesReady(const std::filesystem::path& log, std::chrono::seconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (lineWith(linesOf(log), "Sorvane: ready").empty()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// SIGTERM, as the session sends at logout: the exit code.
std::optional<int> terminate(ChildProcess& sorvane) {
    ::kill(sorvane.pid(), SIGTERM);
    return sorvane.wait(20s);
}

TEST(StartUpProcess, TheStartLineComesFirstAndTheMissingDisplayFollowsIt) {
    DbusDaemon bus;
    if (!bus.running())
        GTEST_SKIP() << "dbus-daemon not available";
    TempDir dir;
    const auto log = dir.path() / "sorvane.log";
    ChildProcess sorvane =
        startSorvane(log, sessionUnder(dir.path(), bus.address(), "unix:path=" + (dir.path() / "no-bus").string()));
    ASSERT_TRUE(sorvane.started());
    EXPECT_TRUE(becomesReady(log, 20s));
    EXPECT_EQ(terminate(sorvane), 0);

    const auto lines = linesOf(log);
    ASSERT_GE(lines.size(), 2u) << "no log from sorvane";
    EXPECT_EQ(lines[0], "Sorvane starting\u2026");
    EXPECT_NE(lines[1].find("Sorvane: no X display (DISPLAY not set)"), std::string::npos)
        << lines[1];
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
    const auto home = dir.path() / "keyring-home";
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
    const auto keyFile = dir.path() / "data" / "org.sorvane.app" / "org.sorvane.identity-ed25519.key";
    auto keyBytes = [&] {
        std::ostringstream bytes;
        bytes << std::ifstream(keyFile, std::ios::binary).rdbuf();
        return bytes.str();
    };

    // Each start: the ready line (the device), the key file's bytes.
    std::vector<std::pair<std::string, std::string>> starts;
    for (const std::string name : {"first", "second"}) {
        const auto log = dir.path() / (name + ".log");
        ChildProcess sorvane = startSorvane(log, sessionUnder(dir.path(), system.address(), session.address()));
        EXPECT_TRUE(sorvane.started());
        EXPECT_TRUE(becomesReady(log, 30s)) << "the " << name << " start did not get going";
        EXPECT_EQ(terminate(sorvane), 0) << name;
        EXPECT_TRUE(lineWith(linesOf(log), "fatal init error").empty()) << name;
        EXPECT_TRUE(std::filesystem::exists(pidFile)) << "the keyring was not started on demand";
        struct stat st {};
        ASSERT_EQ(::stat(keyFile.c_str(), &st), 0) << "no key file after the " << name << " start";
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(st.st_size, 32);
        starts.emplace_back(lineWith(linesOf(log), "Sorvane: ready"), keyBytes());
    }
    EXPECT_EQ(starts[0], starts[1]) << "the second start must find the same key, as the same device";

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
    EnvChanges env = sessionUnder(dir.path(), system.address(), session.address(), x.display());
    env["QT_QPA_PLATFORM"] = "xcb";
    ChildProcess sorvane = startSorvane(log, env);
    ASSERT_TRUE(sorvane.started());
    ASSERT_TRUE(becomesReady(log, 30s)) << "sorvane never got ready";
    EXPECT_FALSE(lineWith(linesOf(log), "Sorvane: hotkey registered (Shift+Super+V)").empty());

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
    EXPECT_EQ(terminate(sorvane), 0);
}

} // namespace
} // namespace sorvane::testing
