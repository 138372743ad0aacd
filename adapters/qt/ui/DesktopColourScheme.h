// Whether the desktop is set dark or light, for the tray symbol where the tray
// itself says nothing about its colours (an XEmbed tray draws our window as it
// is; only StatusNotifierItem hosts recolour symbolic icons).
//
// Asked in this order: the colour-scheme of the XDG desktop portal
// (org.freedesktop.portal.Settings, answered without blocking: until the
// portal answers, or when it says "no preference", the files decide), then
// $GTK_THEME, GTK's settings.ini (gtk-4.0, then gtk-3.0) and KDE's kdeglobals.
//
// Thread-safety: main (GUI) thread only; a QCoreApplication must exist.
#pragma once

#include <QObject>

#include <functional>
#include <string_view>

namespace sorvane {

enum class ColourScheme { unknown, dark, light };

// "Adwaita-dark", "Breeze Dark", "Yaru-dark" say dark; any other name says nothing.
ColourScheme schemeFromThemeName(std::string_view name);
// The text of a GTK settings.ini: gtk-application-prefer-dark-theme, then gtk-theme-name.
ColourScheme schemeFromGtkSettings(std::string_view iniText);
// The text of kdeglobals: the window background of [Colors:Window], then [General] ColorScheme.
ColourScheme schemeFromKdeGlobals(std::string_view iniText);
// The portal's color-scheme value: 1 prefers dark, 2 prefers light, anything else says nothing.
ColourScheme schemeFromPortalValue(unsigned value);
// $GTK_THEME, then $XDG_CONFIG_HOME (or ~/.config) gtk-4.0/settings.ini,
// gtk-3.0/settings.ini and kdeglobals; the first that says something.
ColourScheme schemeFromConfigFiles();

// The scheme now, kept up to date by refresh().
class DesktopColourScheme final : public QObject {
public:
    explicit DesktopColourScheme(QObject* parent = nullptr);

    ColourScheme current() const { return m_current; }
    // Called on the main thread each time current() changes.
    void setOnChange(std::function<void()> onChange) { m_onChange = std::move(onChange); }
    // Reads the files now and asks the portal again (its answer comes later).
    void refresh();

private:
    void settle();

    ColourScheme m_files = ColourScheme::unknown;
    ColourScheme m_portal = ColourScheme::unknown;
    ColourScheme m_current = ColourScheme::unknown;
    std::function<void()> m_onChange;
};

} // namespace sorvane
