#include "adapters/linux/appearance/LinuxDesktopAppearance.h"
#include "adapters/linux/dbus/BusLoop.h"
#include "base/Log.h"
#include "base/Text.h"
#include "base/Thread.h"

#include <sdbus-c++/sdbus-c++.h>

#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

namespace sorvane {
namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kSettings = "org.freedesktop.portal.Settings";
constexpr const char* kNamespace = "org.freedesktop.appearance";
constexpr const char* kKey = "color-scheme";

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// The value of `key` in `[section]` of an INI file such as GTK's settings.ini
// or KDE's kdeglobals; absent when the file, the section or the key is missing.
std::optional<std::string> iniValue(const std::filesystem::path& file, std::string_view section,
                                    std::string_view key) {
    std::ifstream in(file);
    if (!in)
        return std::nullopt;
    std::string line;
    bool inSection = false;
    std::optional<std::string> found;
    while (std::getline(in, line)) {
        const std::string_view text = trimmed(line);
        if (text.empty() || text.front() == '#' || text.front() == ';')
            continue;
        if (text.front() == '[') {
            inSection = text == "[" + std::string(section) + "]";
            continue;
        }
        if (!inSection)
            continue;
        const auto equals = text.find('=');
        if (equals == std::string_view::npos || trimmed(text.substr(0, equals)) != key)
            continue;
        found = std::string(trimmed(text.substr(equals + 1))); // the last one counts
    }
    return found;
}

bool namesDark(std::string_view name) {
    return asciiLowercase(name).find("dark") != std::string::npos;
}

bool isTrue(std::string_view value) {
    const std::string lower = asciiLowercase(value);
    return lower == "1" || lower == "true" || lower == "yes";
}

// The number inside the portal's value. Read wraps the setting's variant in
// another one; the signal does not.
std::optional<uint32_t> schemeNumber(sdbus::Variant value) {
    for (int depth = 0; depth < 3 && value.containsValueOfType<sdbus::Variant>(); ++depth)
        value = value.get<sdbus::Variant>();
    if (value.containsValueOfType<uint32_t>())
        return value.get<uint32_t>();
    if (value.containsValueOfType<int32_t>() && value.get<int32_t>() >= 0)
        return static_cast<uint32_t>(value.get<int32_t>());
    return std::nullopt;
}

std::optional<ColorScheme> preferenceIn(const sdbus::Variant& value) {
    const auto number = schemeNumber(value);
    return number ? LinuxDesktopAppearance::fromPortalValue(*number) : std::nullopt;
}

} // namespace

// The bus side, shared with the thread that talks to the portal; that thread
// may outlive the object when the bus is slow to answer.
struct LinuxDesktopAppearance::Bus {
    std::mutex mutex;
    std::condition_variable firstAnswered;
    std::optional<PortalAnswer> first; // guarded by mutex
    bool stopped = false;              // guarded by mutex
    // Kept while the portal's signal is watched; guarded by mutex.
    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IProxy> proxy;
    std::unique_ptr<BusLoop> loop;
    // Posts an answer to the main thread; set before the thread starts.
    std::function<void(const PortalAnswer&)> deliver;

    // Hands `answer` to the main thread unless the object is gone.
    void post(const PortalAnswer& answer) {
        std::lock_guard lock(mutex);
        if (!stopped)
            deliver(answer);
    }

    static void run(const std::shared_ptr<Bus>& bus);
};

void LinuxDesktopAppearance::Bus::run(const std::shared_ptr<Bus>& bus) {
    setCurrentThreadName("sorvane-theme");
    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IProxy> proxy;
    std::unique_ptr<BusLoop> loop;
    PortalAnswer answer;
    try {
        connection = sdbus::createSessionBusConnection();
        proxy = sdbus::createProxy(*connection, kPortalName, kPortalPath);
        std::weak_ptr<Bus> weak = bus;
        proxy->uponSignal("SettingChanged")
            .onInterface(kSettings)
            .call([weak](const std::string& ns, const std::string& key, const sdbus::Variant& value) {
                if (ns != kNamespace || key != kKey)
                    return;
                if (auto shared = weak.lock())
                    shared->post({true, preferenceIn(value)});
            });
        proxy->finishRegistration();
        // Signals that come during the call wait for the event loop.
        sdbus::Variant value;
        try {
            proxy->callMethod("Read")
                .onInterface(kSettings)
                .withTimeout(kReadTimeout)
                .withArguments(std::string(kNamespace), std::string(kKey))
                .storeResultsTo(value);
            answer = {true, preferenceIn(value)};
        } catch (const sdbus::Error& e) {
            if (e.getName() == "org.freedesktop.portal.Error.NotFound")
                answer = {true, std::nullopt}; // a portal without the setting
            else if (e.getName() != "org.freedesktop.DBus.Error.ServiceUnknown")
                logLine("Sorvane: the settings portal did not say light or dark: " + e.getName() + " " +
                        e.getMessage());
        }
        // A portal started later still announces its changes.
        loop = std::make_unique<BusLoop>();
        loop->start(*connection, "the session bus (the settings portal)");
    } catch (const sdbus::Error& e) {
        logLine("Sorvane: light or dark from the desktop's files only: " + e.getMessage());
        loop.reset();
        proxy.reset();
        connection.reset();
    }

    std::unique_lock lock(bus->mutex);
    if (bus->stopped) {
        lock.unlock();
        if (loop)
            loop->stop();
        return;
    }
    bus->connection = std::move(connection);
    bus->proxy = std::move(proxy);
    bus->loop = std::move(loop);
    bus->first = answer;
    bus->firstAnswered.notify_all();
    bus->deliver(answer);
}

LinuxDesktopAppearance::Published LinuxDesktopAppearance::Published::fromEnvironment() {
    Published published;
    if (const char* theme = std::getenv("GTK_THEME"); theme && *theme)
        published.gtkTheme = theme;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (config && *config == '/')
        published.configHome = config;
    else if (home && *home)
        published.configHome = std::filesystem::path(home) / ".config";
    return published;
}

std::optional<ColorScheme> LinuxDesktopAppearance::publishedColorScheme(const Published& published) {
    // Any setting that names a dark theme wins; one that names another theme
    // states light.
    std::optional<ColorScheme> stated;
    auto say = [&stated](bool dark) {
        if (dark)
            stated = ColorScheme::dark;
        else if (!stated)
            stated = ColorScheme::light;
    };
    if (published.gtkTheme)
        say(namesDark(*published.gtkTheme));
    if (published.configHome.empty())
        return stated;
    for (const char* gtk : {"gtk-3.0", "gtk-4.0"}) {
        const auto settings = published.configHome / gtk / "settings.ini";
        if (!published.gtkTheme) {
            if (const auto theme = iniValue(settings, "Settings", "gtk-theme-name"))
                say(namesDark(*theme));
        }
        if (const auto preferDark = iniValue(settings, "Settings", "gtk-application-prefer-dark-theme"))
            say(isTrue(*preferDark));
    }
    if (const auto kde = iniValue(published.configHome / "kdeglobals", "General", "ColorScheme"))
        say(namesDark(*kde));
    return stated;
}

std::optional<ColorScheme> LinuxDesktopAppearance::fromPortalValue(uint32_t value) {
    switch (value) {
    case 1:
        return ColorScheme::dark;
    case 2:
        return ColorScheme::light;
    default:
        return std::nullopt;
    }
}

LinuxDesktopAppearance::LinuxDesktopAppearance(MainQueue& mainQueue, Published published,
                                               std::chrono::milliseconds firstAnswerWait)
    : m_mainQueue(mainQueue), m_published(std::move(published)), m_bus(std::make_shared<Bus>()) {
    m_scheme = publishedColorScheme(m_published);
    m_bus->deliver = [this, watch = m_liveness.watch()](const PortalAnswer& answer) {
        m_mainQueue.post([this, watch, answer] {
            if (watch)
                take(answer);
        });
    };
    std::thread([bus = m_bus] { Bus::run(bus); }).detach();

    std::unique_lock lock(m_bus->mutex);
    if (m_bus->firstAnswered.wait_for(lock, firstAnswerWait, [this] { return m_bus->first.has_value(); })) {
        const PortalAnswer answer = *m_bus->first;
        lock.unlock();
        take(answer);
    }
}

LinuxDesktopAppearance::~LinuxDesktopAppearance() {
    m_liveness.end();
    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IProxy> proxy;
    std::unique_ptr<BusLoop> loop;
    {
        std::lock_guard lock(m_bus->mutex);
        m_bus->stopped = true;
        connection = std::move(m_bus->connection);
        proxy = std::move(m_bus->proxy);
        loop = std::move(m_bus->loop);
    }
    // Outside the lock: the loop's last signal may be waiting for it.
    if (loop)
        loop->stop();
}

void LinuxDesktopAppearance::take(const PortalAnswer& answer) {
    m_portalAnswered = m_portalAnswered || answer.answered;
    // Without a preference from the portal the files decide, as they are now.
    const std::optional<ColorScheme> scheme = answer.preference ? answer.preference : publishedColorScheme(m_published);
    if (scheme == m_scheme)
        return;
    m_scheme = scheme;
    if (m_onChange)
        m_onChange(colorScheme());
}

} // namespace sorvane
