// The tray symbols as a symbolic icon theme, for StatusNotifierItem hosts
// (xfce4-panel, Plasma, GNOME's AppIndicator extension) to find by name and
// draw in their own panel's text colour.
//
// Symbolic icons are filled shapes only (GTK recolours them by setting the
// fill of every path), so each symbol's strokes are widened into outlines and
// joined with its filled shapes into one path. Qt exports no IconThemePath for
// its tray item, so hosts look the name up in their icon theme; the files go
// where the desktops look for a user's own icons:
// $XDG_DATA_HOME/icons/hicolor/scalable/status/sorvane-<symbol>-symbolic.svg.
//
// Thread-safety: main (GUI) thread only; a QGuiApplication must exist.
#pragma once

#include <QByteArray>
#include <QPainterPath>
#include <QString>

#include <string_view>

namespace sorvane {

// "sorvane-paperclip-symbolic", "sorvane-doc-on-clipboard-fill-symbolic".
QString symbolicIconName(std::string_view symbolName);
// The symbol (an SVG on a 24 × 24 grid) as one filled outline in grid units;
// empty when the file cannot be read.
QPainterPath symbolOutline(const QString& svgFile);
// A 24 × 24 SVG with `outline` as its only shape, filled in black.
QByteArray symbolicSvg(const QPainterPath& outline);
// $XDG_DATA_HOME/icons, or ~/.local/share/icons.
QString userIconsDir();
// Writes every tray symbol's symbolic SVG under `iconsDir`/hicolor/scalable/status,
// touching only files whose content differs. False, with the reason in `error`,
// when a file cannot be written.
bool installSymbolicIcons(const QString& iconsDir, QString* error);

} // namespace sorvane
