#include "adapters/qt/ui/DesktopColourScheme.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QString>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

namespace sorvane {
namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

// Calls `entry(section, key, value)` for each "key = value" line of an INI text.
template <class F>
void forEachEntry(std::string_view text, F entry) {
    std::string_view section;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line.front() == '#' || line.front() == ';')
            continue;
        if (line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            continue;
        }
        const size_t eq = line.find('=');
        if (eq != std::string_view::npos)
            entry(section, trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
    }
}

std::string readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(256 * 1024).toStdString();
}

// The first answer of the portal's Read: a variant, in older portals a variant of a variant.
std::optional<unsigned> portalNumber(QVariant value) {
    for (int depth = 0; depth < 3 && value.canConvert<QDBusVariant>(); ++depth)
        value = value.value<QDBusVariant>().variant();
    bool ok = false;
    const unsigned number = value.toUInt(&ok);
    return ok ? std::optional<unsigned>(number) : std::nullopt;
}

} // namespace

ColourScheme schemeFromThemeName(std::string_view name) {
    name = trim(name);
    if (name.size() >= 2 && (name.front() == '"' || name.front() == '\'') && name.back() == name.front())
        name = name.substr(1, name.size() - 2);
    if (name.empty())
        return ColourScheme::unknown;
    return lower(name).find("dark") != std::string::npos ? ColourScheme::dark : ColourScheme::light;
}

ColourScheme schemeFromGtkSettings(std::string_view iniText) {
    std::optional<bool> preferDark;
    ColourScheme byName = ColourScheme::unknown;
    forEachEntry(iniText, [&](std::string_view section, std::string_view key, std::string_view value) {
        if (lower(section) != "settings")
            return;
        if (key == "gtk-application-prefer-dark-theme") {
            const std::string v = lower(value);
            preferDark = v == "1" || v == "true";
        } else if (key == "gtk-theme-name") {
            byName = schemeFromThemeName(value);
        }
    });
    if (preferDark && *preferDark)
        return ColourScheme::dark;
    return byName;
}

ColourScheme schemeFromKdeGlobals(std::string_view iniText) {
    ColourScheme byBackground = ColourScheme::unknown;
    ColourScheme byName = ColourScheme::unknown;
    forEachEntry(iniText, [&](std::string_view section, std::string_view key, std::string_view value) {
        if (section == "Colors:Window" && key == "BackgroundNormal") {
            int rgb[3] = {0, 0, 0};
            const std::string v(value);
            if (std::sscanf(v.c_str(), "%d,%d,%d", &rgb[0], &rgb[1], &rgb[2]) == 3) {
                const double luma = 0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2];
                byBackground = luma < 128 ? ColourScheme::dark : ColourScheme::light;
            }
        } else if (section == "General" && key == "ColorScheme") {
            byName = schemeFromThemeName(value);
        }
    });
    return byBackground != ColourScheme::unknown ? byBackground : byName;
}

ColourScheme schemeFromPortalValue(unsigned value) {
    switch (value) {
    case 1:
        return ColourScheme::dark;
    case 2:
        return ColourScheme::light;
    default:
        return ColourScheme::unknown;
    }
}

ColourScheme schemeFromConfigFiles() {
    if (const char* theme = std::getenv("GTK_THEME")) {
        // "Adwaita:dark" names the variant after the colon.
        const ColourScheme s = schemeFromThemeName(theme);
        if (s != ColourScheme::unknown)
            return s;
    }
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    const QString config = configHome && *configHome ? QString::fromLocal8Bit(configHome)
                                                     : QDir::homePath() + QStringLiteral("/.config");
    for (const char* gtk : {"/gtk-4.0/settings.ini", "/gtk-3.0/settings.ini"}) {
        const ColourScheme s = schemeFromGtkSettings(readFile(config + QLatin1String(gtk)));
        if (s != ColourScheme::unknown)
            return s;
    }
    return schemeFromKdeGlobals(readFile(config + QStringLiteral("/kdeglobals")));
}

DesktopColourScheme::DesktopColourScheme(QObject* parent) : QObject(parent) {
    m_files = schemeFromConfigFiles();
    m_current = m_files;
}

void DesktopColourScheme::refresh() {
    m_files = schemeFromConfigFiles();
    settle();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage read = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.portal.Desktop"), QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.Settings"), QStringLiteral("Read"));
    read << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme");
    // No portal on the bus, or one that never answers, leaves the files to decide.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(read, 3000), this);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusMessage reply = w->reply();
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return;
        const auto number = portalNumber(reply.arguments().front());
        m_portal = number ? schemeFromPortalValue(*number) : ColourScheme::unknown;
        settle();
    });
}

void DesktopColourScheme::settle() {
    const ColourScheme now = m_portal != ColourScheme::unknown ? m_portal : m_files;
    if (now == m_current)
        return;
    m_current = now;
    if (m_onChange)
        m_onChange();
}

} // namespace sorvane
