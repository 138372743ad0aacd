// The sorvane program: composes the Linux services, the BlueZ backend, the
// desktop's windows and the application delegate, and runs Qt's event loop until
// SIGINT, SIGTERM, the Quit command or a fatal start-up error ends it. With a
// command (--toggle-panel, --pair, --preferences, --about, --quit) it hands the
// command to the running instance instead and exits.

#include "adapters/headless/HeadlessServices.h"
#include "adapters/linux/appearance/LinuxDesktopAppearance.h"
#include "adapters/linux/bluez/BluezPeripheralManager.h"
#include "adapters/linux/install/XdgInstaller.h"
#include "adapters/linux/portal/PortalAutoPasteDesktop.h"
#include "adapters/linux/portal/PortalGlobalShortcuts.h"
#include "adapters/linux/portal/PortalRemoteDesktopKeyboard.h"
#include "adapters/linux/secret/LinuxSecretStore.h"
#include "adapters/linux/session/SessionApplication.h"
#include "adapters/linux/system/HeapTuning.h"
#include "adapters/linux/system/ResidentPages.h"
#include "adapters/linux/system/LinuxHostInfo.h"
#include "adapters/linux/system/LogindPowerMonitor.h"
#include "adapters/linux/system/SyslogSink.h"
#include "adapters/linux/system/XdgUserDirectories.h"
#include "adapters/linux/x11/X11AutoPasteDesktop.h"
#include "adapters/linux/x11/X11Pasteboard.h"
#include "adapters/linux/wayland/WaylandPasteboard.h"
#include "adapters/linux/wayland/WlrootsAutoPasteDesktop.h"
#include "adapters/qt/QtMainQueue.h"
#include "adapters/qt/SignalBridge.h"
#include "adapters/qt/ui/AboutWindow.h"
#include "adapters/qt/ui/Appearance.h"
#include "adapters/qt/ui/QtAlerts.h"
#include "adapters/qt/ui/QtUpdatePrompt.h"
#include "adapters/qt/update/QtUpdateNetwork.h"
#include "adapters/qt/ui/PreferencesWindow.h"
#include "adapters/qt/ui/SorvanePairWindow.h"
#include "adapters/qt/ui/LazySearchPanel.h"
#include "adapters/qt/ui/SorvaneStatusItem.h"
#include "adapters/qt/ui/X11GlobalHotKey.h"
#include "app/SorvaneAppDelegate.h"
#include "base/Log.h"
#include "clipboard/SorvanePasteboardWatcher.h"
#include "store/UserDefaultsFile.h"
#include "ui/TrayIconChoice.h"
#include "update/SorvaneUpdater.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QProcess>
#include <QUrl>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>
#include <memory>
#include <optional>

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

// How long after the launch the panel's window is made: past the radio's
// start-up, before the free memory is handed back.
constexpr std::chrono::milliseconds kPanelPrepareDelay{1000};

constexpr const char* kUsage =
    "usage: sorvane [--toggle-panel | --pair | --preferences | --about | --quit]\n"
    "  Without a command, starts Sorvane (or opens the panel of the one running).\n"
    "  With one, asks the running Sorvane to do it.\n";

// Hands `command` to the running instance; the process's exit status.
int runCommand(const std::string& command) {
    std::string error;
    switch (sendToRunningInstance(command, &error)) {
    case RemoteResult::done:
        return EXIT_SUCCESS;
    case RemoteResult::notRunning:
        std::fprintf(stderr, "Sorvane is not running.\n");
        return EXIT_FAILURE;
    case RemoteResult::failed:
        break;
    }
    std::fprintf(stderr, "sorvane: cannot reach the running Sorvane: %s\n", error.c_str());
    return EXIT_FAILURE;
}

} // namespace

int main(int argc, char** argv) {
    const auto processStarted = std::chrono::steady_clock::now();
    if (argc > 2) {
        std::fputs(kUsage, stderr);
        return EXIT_FAILURE;
    }
    if (argc == 2) {
        const std::string arg = argv[1];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return EXIT_SUCCESS;
        }
        for (const auto& action : SessionApplication::actions())
            if (arg == "--" + action)
                return runCommand(action);
        std::fputs(kUsage, stderr);
        return EXIT_FAILURE;
    }
    retainHeapForLargeFrames();

    // Under a Wayland session the windows run through XWayland where there is
    // one (the panel places itself there), natively otherwise. The clipboard
    // goes through the compositor's data-control protocol where it offers one,
    // else through X; the global shortcut through the desktop portal.
    const char* waylandDisplay = std::getenv("WAYLAND_DISPLAY");
    const bool waylandSession = waylandDisplay && *waylandDisplay;
    const char* xDisplay = std::getenv("DISPLAY");
    if (waylandSession && !std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", xDisplay && *xDisplay ? "xcb" : "wayland", 1);
    const std::optional<std::string> dataControl =
        waylandSession ? wayland::WaylandPasteboard::dataControlProtocol(nullptr) : std::nullopt;
    // The X clipboard and auto-paste need an X display; without one (and no
    // Wayland clipboard) the program still syncs what the phone sends, into
    // the history.
    std::unique_ptr<x11::X11AutoPasteDesktop> desktop = x11::X11AutoPasteDesktop::open(
        nullptr, {x11::X11AutoPasteDesktop::waylandSessionFromEnvironment(), {}});
    // The windows need a display, or a platform of Qt's own that needs none
    // (offscreen, as in tests).
    const char* qpa = std::getenv("QT_QPA_PLATFORM");
    const bool withWindows = desktop || (qpa && *qpa && std::strcmp(qpa, "xcb") != 0);
    std::unique_ptr<QCoreApplication> qtApp;
    if (withWindows) {
        auto gui = std::make_unique<QApplication>(argc, argv);
        // Alerts are the only windows that close; the program goes on without them.
        QApplication::setQuitOnLastWindowClosed(false);
        qtApp = std::move(gui);
    } else {
        qtApp = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName("Sorvane");
    QCoreApplication::setOrganizationDomain("sorvane.org");
    setLogSink(std::make_shared<SyslogSink>());

    QtMainQueue mainQueue;
    std::vector<std::string> startupNotes;
    if (dataControl)
        startupNotes.push_back("Sorvane: clipboard through the Wayland compositor (" + *dataControl + ")");
    else if (desktop)
        startupNotes.push_back(waylandSession ? "Sorvane: clipboard through XWayland (the compositor offers no "
                                                "data-control protocol)"
                                              : "Sorvane: clipboard through X11");
    else
        startupNotes.push_back(
            std::string("Sorvane: no X display (") +
            (xDisplay && *xDisplay ? std::string("cannot open ") + xDisplay : "DISPLAY not set") +
            ") \u2014 clipboard watching and auto-paste are off");

    // One instance: the first to hold the bus name. A second start hands over
    // to it before touching the data directory.
    std::function<void(const std::string&)> onCommand; // set once the delegate exists
    // A session bus that accepts the connection but never answers must not hold
    // start-up: the claim runs on a thread of its own and gets 1 s. One that
    // comes late is kept for the life of the process, unused.
    auto claiming = std::make_shared<std::promise<SessionApplication::ClaimResult>>();
    auto claimed = claiming->get_future();
    std::thread([claiming, &mainQueue, &onCommand] {
        claiming->set_value(SessionApplication::claim([&mainQueue, &onCommand](const std::string& action) {
            mainQueue.post([&onCommand, action] {
                if (onCommand)
                    onCommand(action);
            });
        }));
    }).detach();
    SessionApplication::ClaimResult claim;
    if (claimed.wait_for(std::chrono::seconds(1)) == std::future_status::ready) {
        claim = claimed.get();
    } else {
        claim.outcome = SessionApplication::Claim::noBus;
        claim.error = "the session bus did not answer within 1 s";
    }
    switch (claim.outcome) {
    case SessionApplication::Claim::owned:
        break;
    case SessionApplication::Claim::alreadyRunning:
        std::fprintf(stderr, "Sorvane is already running; opening its panel.\n");
        return runCommand(SessionApplication::kActivate);
    case SessionApplication::Claim::noBus:
        startupNotes.push_back("Sorvane: no session bus (" + claim.error +
                               ") \u2014 commands such as sorvane --toggle-panel cannot reach this instance");
        break;
    case SessionApplication::Claim::failed:
        startupNotes.push_back("Sorvane: could not take the name org.sorvane.app (" + claim.error +
                               ") \u2014 commands such as sorvane --toggle-panel cannot reach this instance");
        break;
    }

    QtApplicationControl application(mainQueue);
    XdgUserDirectories directories;
    UserDefaultsFile defaults(defaultsPath());
    LinuxHostInfo host;
    LogindPowerMonitor power;
    // The global shortcut: the desktop portal's under Wayland (an X grab would
    // only see keys typed into X windows), a grab on Qt's X connection on X11.
    std::unique_ptr<HotKeyService> hotKey;
    if (waylandSession)
        hotKey = PortalGlobalShortcuts::open(mainQueue);
    if (!hotKey)
        hotKey = X11GlobalHotKey::open();
    if (!hotKey)
        hotKey = std::make_unique<HeadlessHotKey>();
    // Updates are offered in windows; a run without them does without.
    std::unique_ptr<Updater> updater;
    std::unique_ptr<QtUpdateNetwork> updateNetwork;
    std::unique_ptr<QtUpdatePrompt> updatePrompt;
    if (withWindows) {
        updateNetwork = std::make_unique<QtUpdateNetwork>();
        updatePrompt = std::make_unique<QtUpdatePrompt>();
        SorvaneUpdater::Config config;
        config.feedUrl = SORVANE_UPDATE_FEED_URL;
        config.currentVersion = SORVANE_VERSION;
        config.publicKeyBase64 = SORVANE_UPDATE_PUBLIC_KEY;
        config.websiteUrl = SORVANE_WEBSITE_URL;
        config.appImagePath = SorvaneUpdater::appImageFromEnvironment();
        SorvaneUpdater::Hooks hooks;
        // The new program starts with this one's arguments once this one has
        // been asked to quit the ordinary way.
        hooks.restart = [&application](const std::string& program) {
            if (!QProcess::startDetached(QString::fromStdString(program), QCoreApplication::arguments().mid(1)))
                logLine("Sorvane: could not start " + program + "; it starts at the next launch");
            application.requestTermination();
        };
        hooks.openUrl = [](const std::string& url) {
            if (!QDesktopServices::openUrl(QUrl(QString::fromStdString(url))))
                logLine("Sorvane: could not open " + url);
        };
        updater = std::make_unique<SorvaneUpdater>(std::move(config), defaults, *updateNetwork, *updateNetwork,
                                                   *updatePrompt, mainQueue, systemWallClock(), std::move(hooks));
    } else {
        updater = std::make_unique<HeadlessUpdater>();
    }

    // The desktop's face, or the stand-ins of a run without one.
    std::unique_ptr<StatusItem> statusItem;
    std::unique_ptr<SearchPanelView> panel;
    std::unique_ptr<AlertPresenter> alerts;
    std::unique_ptr<PairingWindow> pairingWindow;
    std::unique_ptr<AboutWindow> aboutWindow; // none without windows
    LazySearchPanel* searchPanel = nullptr;
    std::unique_ptr<LinuxDesktopAppearance> desktopAppearance;
    std::unique_ptr<SorvanePreferences> preferences;
    if (withWindows) {
        // The windows are light or dark as the desktop asks, and follow it.
        desktopAppearance = std::make_unique<LinuxDesktopAppearance>(mainQueue);
        auto tray = std::make_unique<SorvaneStatusItem>();
        tray->setIconChoice(std::string(symbolName(loadTrayIconChoice(defaults))));
        // The tray symbol is drawn for what the desktop states, too.
        appearance::followDesktop(*desktopAppearance, [item = tray.get()](std::optional<ColorScheme> stated) {
            item->setColorScheme(stated);
        });
        statusItem = std::move(tray);
        // Made once the radio is under way (below), or at its first showing.
        auto window = std::make_unique<LazySearchPanel>();
        searchPanel = window.get();
        panel = std::move(window);
        alerts = std::make_unique<QtAlerts>(mainQueue);
        pairingWindow = std::make_unique<SorvanePairWindow>();
        preferences = std::make_unique<SorvanePreferences>();
        aboutWindow = std::make_unique<QtAboutWindow>();
    } else {
        statusItem = std::make_unique<HeadlessStatusItem>();
        panel = std::make_unique<HeadlessPanel>();
        alerts = std::make_unique<HeadlessAlerts>();
        pairingWindow = std::make_unique<HeadlessPairingWindow>();
    }
    // Launch at login through the autostart folder. The move into
    // ~/Applications is offered through the alerts: without a display they log
    // that nothing can confirm it, and the program runs where it is.
    XdgInstaller installer(defaults, *alerts);

    auto makePasteboardWatcher = [haveDisplay = desktop != nullptr, dataControl]()
        -> std::unique_ptr<PasteboardWatcher> {
        if (dataControl) {
            if (auto pasteboard = wayland::WaylandPasteboard::open())
                return std::make_unique<SorvanePasteboardWatcher>(std::move(pasteboard));
        }
        if (haveDisplay) {
            if (auto pasteboard = x11::X11Pasteboard::open())
                return std::make_unique<SorvanePasteboardWatcher>(std::move(pasteboard));
        }
        return std::make_unique<HeadlessPasteboardWatcher>();
    };

    // Auto-paste: XTest on X11. Under Wayland, wlroots compositors list their
    // windows and lend a virtual keyboard; elsewhere the desktop portal lends
    // a keyboard when the user agrees; where neither, the entry stays on the
    // clipboard and the user is told why.
    AutoPasteDesktop* pasteDesktop = waylandSession ? nullptr : desktop.get();
    std::unique_ptr<wayland::WlrootsAutoPasteDesktop> wlrootsDesktop;
    std::unique_ptr<PortalRemoteDesktopKeyboard> remoteKeyboard;
    std::unique_ptr<PortalAutoPasteDesktop> portalDesktop;
    if (waylandSession) {
        wlrootsDesktop = wayland::WlrootsAutoPasteDesktop::open(nullptr, {});
        if (wlrootsDesktop && wlrootsDesktop->isTrusted(false)) {
            pasteDesktop = wlrootsDesktop.get();
            startupNotes.push_back("Sorvane: auto-paste through the compositor's virtual keyboard");
        } else {
            wlrootsDesktop.reset();
            remoteKeyboard = PortalRemoteDesktopKeyboard::open(mainQueue, defaults);
            PortalAutoPasteDesktop::Options options;
            options.ownWindowHasFocus = [] {
                return QGuiApplication::applicationState() == Qt::ApplicationActive;
            };
            options.explain = [&alerts](const std::string& text) {
                alerts->showError("Paste with Ctrl+V", text);
            };
            portalDesktop = std::make_unique<PortalAutoPasteDesktop>(remoteKeyboard.get(), std::move(options));
            pasteDesktop = portalDesktop.get();
            startupNotes.push_back("Sorvane: auto-paste through the desktop portal's keyboard, once the desktop allows it");
        }
    }

    AppEnvironment environment{
        mainQueue, application, defaults, host, power, directories,
        [&directories] {
            return std::make_unique<LinuxSecretStore>(KeyStore::defaultDirectory(directories));
        },
        bluezPeripheralManagerFactory(),
        makePasteboardWatcher,
        *statusItem, *panel, *pairingWindow, *alerts, *hotKey, installer, *updater};
    environment.desktop = pasteDesktop;
    environment.aboutWindow = aboutWindow.get();
    // The free heap, and the pages of code and constant data that start-up or the
    // panel's build touched and idle does not.
    // The heap goes last: it takes back what reading the mappings took.
    environment.releaseFreeMemory = [] {
        releaseCleanFilePages();
        releaseFreeHeap();
    };
    environment.preferencesWindow = preferences.get();
    // The keyring lives on the same session bus: a silent bus costs start-up 5 s
    // in all, the claim of the name included (a little is kept for the rest).
    environment.keyringWait = std::max(
        std::chrono::milliseconds(0),
        SorvaneAppDelegate::kKeyringWait - std::chrono::milliseconds(100) -
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  processStarted));
    environment.startupNotes = std::move(startupNotes);
    SorvaneAppDelegate delegate(std::move(environment));

    onCommand = [&delegate](const std::string& action) { delegate.handleRemoteCommand(action); };
    // A click on the tray icon toggles the panel. The click has already hidden
    // an open panel as a click outside it; the toggle must not reopen it.
    statusItem->setOnActivate([&delegate, searchPanel] {
        if (searchPanel && searchPanel->hiddenByClickWithin(std::chrono::milliseconds(400)))
            return;
        delegate.togglePanel();
    });

    // The handler only asks the event loop to end; the shutdown runs below.
    SignalBridge signalBridge([&application](int) { application.requestTermination(); });
    QTimer::singleShot(0, qtApp.get(), [&delegate] { delegate.applicationDidFinishLaunching(); });
    if (searchPanel)
        QTimer::singleShot(kPanelPrepareDelay, qtApp.get(), [searchPanel] { searchPanel->prepare(); });
    qtApp->exec();
    onCommand = nullptr;
    delegate.applicationWillTerminate();
    return delegate.appState() || delegate.handedOver() ? EXIT_SUCCESS : EXIT_FAILURE;
}
