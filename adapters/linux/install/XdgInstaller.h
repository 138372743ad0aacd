// Launch at login through the desktop's XDG autostart folder, and the move of an
// AppImage into ~/Applications.
//
// The autostart entry is $XDG_CONFIG_HOME/autostart/org.sorvane.app.desktop
// (~/.config/autostart without it). It names the program's stable path: the
// AppImage file when the program runs from one ($APPIMAGE), else the resolved
// executable. The entry counts as enabled while it parses, its Exec names an
// existing executable and neither Hidden=true nor
// X-GNOME-Autostart-enabled=false switches it off.
//
// Thread-safety: main thread only.
#pragma once

#include "ports/AppServices.h"
#include "ports/UserDefaults.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sorvane {

class XdgInstaller final : public Installer {
public:
    using Environment = std::function<std::optional<std::string>(const char* name)>;
    // Starts `argv` (argv[0] a path) detached from this process; nothing on
    // success, else what went wrong.
    using Launcher = std::function<std::optional<std::string>(const std::vector<std::string>& argv)>;
    // Runs `argv` and waits for it; nothing when it exited with status 0.
    using Runner = std::function<std::optional<std::string>(const std::vector<std::string>& argv)>;

    struct Options {
        // Where HOME, XDG_CONFIG_HOME, APPIMAGE and PATH are read.
        Environment environment;
        // The running executable; empty: /proc/self/exe, resolved.
        std::filesystem::path executable;
        // Starts the moved copy; empty: posix_spawn in a new session.
        Launcher launch;
        // Runs the privileged copy (pkexec cp); empty: posix_spawn and wait.
        Runner runPrivileged;
    };

    static Environment processEnvironment();

    XdgInstaller(UserDefaults& defaults, AlertPresenter& alerts, Options options = {});

    bool promptAndMoveIfNeeded() override;
    void enableLaunchAtLoginByDefault() override;
    bool isInstalledInApplications() const override;
    bool isLaunchAtLoginEnabled() const override;
    std::optional<std::string> setLaunchAtLogin(bool enabled) override;

    // The autostart entry's path.
    std::filesystem::path autostartEntryPath() const;
    // The path the entry names: $APPIMAGE when it is a regular file, else the
    // running executable.
    std::filesystem::path stablePath() const;
    // ~/Applications.
    std::filesystem::path applicationsFolder() const;
    // The entry's text for the current stable path.
    std::string autostartEntryText() const;

    // `path` as one argument of a desktop entry's Exec value, escaped as a
    // string value too: ready to follow "Exec=".
    static std::string execValueFor(const std::string& path);

private:
    std::optional<std::string> env(const char* name) const;
    std::filesystem::path home() const;
    std::optional<std::string> registerEntry();
    std::optional<std::string> unregisterEntry();
    std::optional<std::string> copyInto(const std::filesystem::path& from, const std::filesystem::path& to);
    bool isExecutable(const std::string& program) const;

    UserDefaults& m_defaults;
    AlertPresenter& m_alerts;
    Options m_options;
};

} // namespace sorvane
