// Light or dark for the program's windows: the search panel, the pairing window
// and the alerts. The scheme starts light; setColorScheme() switches the
// colours of PanelStyle.h and has every window that follows the scheme restyle
// and repaint at once, open or not.
//
// Thread-safety: main thread only, with a QApplication.
#pragma once

#include "adapters/qt/ui/PanelStyle.h"
#include "ports/DesktopAppearance.h"

#include <QMargins>
#include <QPalette>

#include <functional>

class QObject;
class QWidget;

namespace sorvane::appearance {

ColorScheme colorScheme();
void setColorScheme(ColorScheme scheme);
// Takes the desktop's scheme now and after each change, and hands what the
// desktop states to `alsoTell` (the tray's symbol) each time; `desktop` must
// outlive its change callback.
void followDesktop(DesktopAppearance& desktop,
                   std::function<void(std::optional<ColorScheme>)> alsoTell = {});

// Runs `restyle` now and again after each change of scheme, for as long as
// `owner` lives.
void follow(QObject* owner, std::function<void()> restyle);

// Gives `role` of `widget`'s palette the shown scheme's `colour`, now and after
// each change.
void tint(QWidget* widget, QPalette::ColorRole role, QColor panelstyle::Colours::*colour);

// A one-pixel line in the scheme's divider colour, with `padding` around it.
QWidget* divider(QWidget* parent, QMargins padding = {});

// The palette for standard dialogs such as the alerts: the application's own in
// light, a dark one built from the panel's colours in dark.
QPalette dialogPalette();

} // namespace sorvane::appearance
