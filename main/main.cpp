// The sorvane program: composes the Linux services, the BlueZ backend and the
// application delegate, and runs Qt's event loop until SIGINT, SIGTERM or a
// fatal start-up error ends it.

#include "adapters/headless/HeadlessServices.h"
#include "app/SorvaneAppDelegate.h"
#include "clipboard/SorvanePasteboardWatcher.h"
#include "adapters/linux/system/HeapTuning.h"
#include "adapters/linux/bluez/BluezPeripheralManager.h"
#include "adapters/linux/system/LinuxHostInfo.h"
#include "adapters/linux/secret/LinuxSecretStore.h"
#include "adapters/linux/system/LogindPowerMonitor.h"
#include "adapters/linux/system/SyslogSink.h"
#include "adapters/linux/x11/X11AutoPasteDesktop.h"
#include "adapters/linux/x11/X11Pasteboard.h"
#include "adapters/linux/system/XdgUserDirectories.h"
#include "adapters/qt/QtMainQueue.h"
#include "adapters/qt/SignalBridge.h"
#include "store/UserDefaultsFile.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

using namespace sorvane;

class QtApplicationControl final : public ApplicationControl {
public:
    explicit QtApplicationControl(QtMainQueue& queue) : m_queue(queue) {}
    void requestTermination() override { QCoreApplication::quit(); }
    void spinRunLoop(std::chrono::milliseconds duration) override { m_queue.spin(duration); }

private:
    QtMainQueue& m_queue;
};

// $XDG_CONFIG_HOME/org.sorvane.app/defaults.json, or ~/.config/... without it.
std::filesystem::path defaultsPath() {
    std::filesystem::path root;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/')
        root = config;
    else if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        root = std::filesystem::path(home) / ".config";
    else
        root = std::filesystem::temp_directory_path();
    return root / "org.sorvane.app" / "defaults.json";
}

} // namespace

int main(int argc, char** argv) {
    retainHeapForLargeFrames();
    // Until the preferences window exists, demos and process tests need a way to
    // turn automatic sending on; users never pass this.
    bool autoPush = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--auto-push") == 0) {
            autoPush = true;
        } else {
            std::fprintf(stderr, "usage: sorvane [--auto-push]\n");
            return EXIT_FAILURE;
        }
    }
    QCoreApplication qtApp(argc, argv);
    QCoreApplication::setApplicationName("Sorvane");
    setLogSink(std::make_shared<SyslogSink>());

    QtMainQueue mainQueue;
    QtApplicationControl application(mainQueue);
    XdgUserDirectories directories;
    UserDefaultsFile defaults(defaultsPath());
    LinuxHostInfo host;
    LogindPowerMonitor power;
    HeadlessStatusItem statusItem;
    HeadlessPanel panel;
    HeadlessPairingWindow pairingWindow;
    HeadlessAlerts alerts;
    HeadlessHotKey hotKey;
    HeadlessInstaller installer;
    HeadlessUpdater updater;

    // The clipboard and auto-paste need an X display; without one the program
    // still syncs what the phone sends, into the history.
    std::unique_ptr<x11::X11AutoPasteDesktop> desktop = x11::X11AutoPasteDesktop::open(
        nullptr, {x11::X11AutoPasteDesktop::waylandSessionFromEnvironment(), {}});
    std::vector<std::string> startupNotes;
    if (!desktop) {
        const char* display = std::getenv("DISPLAY");
        startupNotes.push_back(
            std::string("Sorvane: no X display (") +
            (display && *display ? std::string("cannot open ") + display : "DISPLAY not set") +
            ") \u2014 clipboard watching and auto-paste are off");
    }
    auto makePasteboardWatcher = [haveDisplay = desktop != nullptr]()
        -> std::unique_ptr<PasteboardWatcher> {
        if (haveDisplay) {
            if (auto pasteboard = x11::X11Pasteboard::open())
                return std::make_unique<SorvanePasteboardWatcher>(std::move(pasteboard));
        }
        return std::make_unique<HeadlessPasteboardWatcher>();
    };

    AppEnvironment environment{
        mainQueue, application, defaults, host, power, directories,
        [&directories] {
            return std::make_unique<LinuxSecretStore>(KeyStore::defaultDirectory(directories));
        },
        bluezPeripheralManagerFactory(),
        makePasteboardWatcher,
        statusItem, panel, pairingWindow, alerts, hotKey, installer, updater};
    if (desktop)
        environment.desktop = desktop.get();
    environment.startupNotes = std::move(startupNotes);
    SorvaneAppDelegate delegate(std::move(environment));

    // The handler only asks the event loop to end; the shutdown runs below.
    SignalBridge signalBridge([&application](int) { application.requestTermination(); });
    QTimer::singleShot(0, &qtApp, [&delegate, autoPush] {
        delegate.applicationDidFinishLaunching();
        if (autoPush && delegate.appState())
            delegate.appState()->autoPush = true;
    });
    qtApp.exec();
    delegate.applicationWillTerminate();
    return delegate.appState() ? EXIT_SUCCESS : EXIT_FAILURE;
}
