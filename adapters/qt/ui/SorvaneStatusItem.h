// The tray icon, shown with QSystemTrayIcon: a StatusNotifierItem on KDE and on
// GNOME with the AppIndicator extension, an XEmbed icon on other X11 trays.
//
// At rest the chosen symbol is drawn in the palette's text colour (WindowText)
// and follows palette changes; a pulse draws it in yellow until 0.4 s after the
// last pulse, with one restore timer that each new pulse restarts. A left click
// (activation) runs the callback from setOnActivate(); other clicks do nothing.
// Without a tray on the desktop install() logs one line and the program runs on
// (the icon is still handed to Qt, which shows it if an X11 tray starts later).
//
// Thread-safety: main (GUI) thread only; a QApplication must exist before any
// method is called, including the static renderers.
#pragma once

#include "ports/AppServices.h"

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

    // The yellow of a pulse.
    static QColor pulseColour();
    // The tray symbol with this symbol name drawn in `colour` on a transparent
    // square of `side` pixels; a null image when the name is no symbol name.
    static QImage renderSymbol(std::string_view symbolName, const QColor& colour, int side);
    // The application icon (white rounded square, paperclip in the brand colour)
    // drawn on a transparent square of `side` pixels.
    static QImage renderApplicationIcon(int side);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showSymbol(const QColor& colour);
    void showResting();

    std::string m_symbol;
    std::function<void()> m_onActivate;
    QSystemTrayIcon* m_tray = nullptr;
    QTimer m_restore;
};

} // namespace sorvane
