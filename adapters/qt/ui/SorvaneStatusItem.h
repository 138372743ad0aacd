// The tray icon, shown with QSystemTrayIcon: a StatusNotifierItem on KDE and on
// GNOME with the AppIndicator extension, an XEmbed icon on other X11 trays.
//
// The tray's colours are its own: a StatusNotifierItem host draws symbolic
// icons in its panel's text colour, an XEmbed tray shows our pixels on a panel
// we cannot see. So at rest the icon carries two things: the name of the
// symbol in our symbolic icon theme (sorvane-<symbol>-symbolic, see
// SymbolicIconTheme.h), which hosts that find it recolour, and pixels drawn for
// the scheme the desktop states (setColorScheme): a light symbol on a dark
// desktop or when nothing says, a dark one on a light desktop, each with a halo
// of the other tone, so that it reads on a panel of either tone. A pulse draws
// the symbol in yellow with a dark halo and exports no name (a host would
// recolour the name), until 0.4 s after the last pulse, with one restore timer
// that each new pulse restarts. A left click
// (activation; on an XEmbed tray when the button comes up) runs the callback
// from setOnActivate(); other clicks do nothing.
// Without a tray on the desktop install() logs one line and the program runs on
// (the icon is still handed to Qt, which shows it if an X11 tray starts later).
//
// Thread-safety: main (GUI) thread only; a QApplication must exist before any
// method is called, including the static renderers.
#pragma once

#include "ports/AppServices.h"
#include "ports/DesktopAppearance.h"

#include <QColor>
#include <QImage>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class QSystemTrayIcon;

namespace sorvane {

class SorvaneStatusItem final : public QObject, public StatusItem {
public:
    // How long the icon stays yellow after the last pulse.
    static constexpr std::chrono::milliseconds pulseHold{400};

    // Nothing is shown until install(); the tray icon is a child of this object.
    explicit SorvaneStatusItem(QObject* parent = nullptr);
    ~SorvaneStatusItem() override;
    SorvaneStatusItem(const SorvaneStatusItem&) = delete;
    SorvaneStatusItem& operator=(const SorvaneStatusItem&) = delete;

    // Sets the application-wide window icon to the drawn application icon.
    void setApplicationIcon() override;
    // Creates and shows the tray icon with the current symbol; later calls do nothing.
    void install() override;
    // Shows the symbol in yellow and (re)starts the restore timer; nothing before install().
    void animateIconPulse() override;
    void setOnActivate(std::function<void()> onActivate) override;
    // Takes effect at once, also during a pulse (which it ends). An unknown name
    // is logged and shows the paperclip.
    void setIconChoice(const std::string& symbolName) override;

    // True between a pulse and its restore.
    bool isPulsing() const { return m_restore.isActive(); }
    // The scheme the desktop states (absent: it says nothing), which the
    // resting symbol is drawn for; redraws it at once unless a pulse shows.
    void setColorScheme(std::optional<ColorScheme> stated);

    // A symbol's colour and the halo around it.
    struct Ink {
        QColor symbol;
        QColor halo;
    };
    // At rest on a desktop that states this scheme, or nothing.
    static Ink restingInk(std::optional<ColorScheme> stated);
    // During a pulse.
    static Ink pulseInk();
    // The yellow of a pulse.
    static QColor pulseColour();
    // The tray symbol as the tray shows it: drawn in `ink.symbol` over a halo
    // of `ink.halo` (about a twelfth of `side` wide, at least a pixel) on a
    // transparent square of `side` pixels; null when the name is no symbol name.
    static QImage renderTraySymbol(std::string_view symbolName, const Ink& ink, int side);
    // The tray symbol with this symbol name drawn in `colour` on a transparent
    // square of `side` pixels; a null image when the name is no symbol name.
    static QImage renderSymbol(std::string_view symbolName, const QColor& colour, int side);
    // The application icon (white rounded square, paperclip in the brand colour)
    // drawn on a transparent square of `side` pixels.
    static QImage renderApplicationIcon(int side);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showSymbol(const Ink& ink, bool exportName);
    void showResting();

    std::string m_symbol;
    std::optional<ColorScheme> m_scheme;
    // Whether hosts can find our symbolic icons by name.
    bool m_themeInstalled = false;
    // Between the press and the release of a left click on an XEmbed icon.
    bool m_xembedPress = false;
    std::function<void()> m_onActivate;
    QSystemTrayIcon* m_tray = nullptr;
    QTimer m_restore;
};

} // namespace sorvane
