// The search panel's look: colours, fonts and row metrics shared by the window
// and its rows, so that every row lines up with the others.
//
// Thread-safety: main thread only (QFont needs the GUI application).
#pragma once

#include <QColor>
#include <QFont>

namespace sorvane::panelstyle {

inline const QColor kBackground{0xf6, 0xf6, 0xf8};
inline const QColor kBorder{0, 0, 0, 60};
inline const QColor kDivider{0, 0, 0, 28};
inline const QColor kPrimary{0x1d, 0x1d, 0x1f};
inline const QColor kSecondary{0x6e, 0x6e, 0x73};
inline const QColor kTertiary{0x9a, 0x9a, 0xa0};
inline const QColor kSelected{0x1f, 0x6f, 0xe5};
inline const QColor kAccent{0x1f, 0x6f, 0xe5};
inline const QColor kGreen{0x28, 0xa7, 0x45};
inline const QColor kOnSelected{0xff, 0xff, 0xff};

inline constexpr int kHorizontalPadding = 14;
inline constexpr int kRowRadius = 4;
inline constexpr int kCornerRadius = 6;
inline constexpr int kHistoryRowHeight = 26;
inline constexpr int kCommandRowHeight = 25;
inline constexpr int kGlyphWidth = 14;
inline constexpr int kSendWidth = 24;
inline constexpr int kSendHeight = 20;
inline constexpr int kRowSpacing = 6;
// Rows are inset from the panel's sides so that their rounded highlight shows.
inline constexpr int kRowInset = 5;

inline QFont pixelFont(int px, QFont::Weight weight = QFont::Normal) {
    QFont f;
    f.setPixelSize(px);
    f.setWeight(weight);
    return f;
}
inline QFont menuFont() { return pixelFont(13); }
inline QFont menuFontSmall(QFont::Weight weight = QFont::Normal) { return pixelFont(11, weight); }

} // namespace sorvane::panelstyle
