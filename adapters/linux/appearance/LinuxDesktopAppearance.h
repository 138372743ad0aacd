// The desktop's light or dark choice on Linux.
//
// The settings portal says it best: org.freedesktop.portal.Settings on the
// session bus, key "color-scheme" of "org.freedesktop.appearance" (1 prefers
// dark, 2 prefers light, 0 no preference), and its SettingChanged signal tells
// of a change while the program runs. Where no portal answers, or it has no
// preference, the desktop's published settings decide: a GTK theme whose name
// contains "dark" (GTK_THEME, or gtk-theme-name in gtk-3.0 or gtk-4.0
// settings.ini), gtk-application-prefer-dark-theme, or a KDE colour scheme
// (kdeglobals, [General] ColorScheme) whose name contains "dark"; a theme named
// without "dark" states light. Nothing said states nothing (windows are light).
//
// The bus is talked to on a thread of its own: a bus that never answers holds
// the constructor no longer than its wait for the first answer, and an answer
// that comes later is taken then, like a change.
//
// Thread-safety: as DesktopAppearance; construct and destroy on the main thread.
#pragma once

#include "base/Liveness.h"
#include "ports/DesktopAppearance.h"
#include "ports/MainQueue.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace sorvane {

class LinuxDesktopAppearance final : public DesktopAppearance {
public:
    // Where the desktop publishes its theme outside the portal.
    struct Published {
        // GTK_THEME, which overrides the theme named in settings.ini.
        std::optional<std::string> gtkTheme;
        // $XDG_CONFIG_HOME, or ~/.config; empty when there is neither.
        std::filesystem::path configHome;

        static Published fromEnvironment();
    };

    // How long the constructor waits for the portal's answer.
    static constexpr std::chrono::milliseconds kFirstAnswerWait{250};
    // How long the portal may take to answer (it may have to be started).
    static constexpr std::chrono::seconds kReadTimeout{5};

    explicit LinuxDesktopAppearance(MainQueue& mainQueue, Published published = Published::fromEnvironment(),
                                    std::chrono::milliseconds firstAnswerWait = kFirstAnswerWait);
    ~LinuxDesktopAppearance() override;
    LinuxDesktopAppearance(const LinuxDesktopAppearance&) = delete;
    LinuxDesktopAppearance& operator=(const LinuxDesktopAppearance&) = delete;

    std::optional<ColorScheme> statedColorScheme() const override { return m_scheme; }
    void setOnChange(std::function<void(ColorScheme)> onChange) override { m_onChange = std::move(onChange); }

    // Whether the portal answered (with a preference or without one) since the
    // program started; false while it has not, or when there is none.
    bool portalAnswered() const { return m_portalAnswered; }

    // The scheme the published settings state; absent when they say nothing.
    static std::optional<ColorScheme> publishedColorScheme(const Published& published);
    // The portal's color-scheme value as a scheme; absent for "no preference"
    // and for values it does not know.
    static std::optional<ColorScheme> fromPortalValue(uint32_t value);

    // What the bus thread found, for the main thread.
    struct PortalAnswer {
        bool answered = false;                // false: no portal, or it failed
        std::optional<ColorScheme> preference; // absent: no preference
    };

private:
    struct Bus;

    void take(const PortalAnswer& answer);

    MainQueue& m_mainQueue;
    const Published m_published;
    std::optional<ColorScheme> m_scheme;
    bool m_portalAnswered = false;
    std::function<void(ColorScheme)> m_onChange;
    std::shared_ptr<Bus> m_bus;
    Liveness m_liveness;
};

} // namespace sorvane
