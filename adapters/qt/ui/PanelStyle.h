// The search panel's look: colours, fonts and row metrics shared by the window
// and its rows, so that every row lines up with the others. The pairing window
// takes its colours from here too.
//
// Thread-safety: main thread only (QFont needs the GUI application).
#pragma once

#include <QColor>
#include <QFont>

namespace sorvane::panelstyle {

// The colours of one scheme, by what they paint.
struct Colours {
    QColor background;   // the windows' ground
    QColor border;       // the panel's edge
    QColor divider;      // lines between sections, the QR code's frame
    QColor primary;      // text
    QColor secondary;    // captions, the direction glyph, the empty state
    QColor tertiary;     // ages, the footer, the countdown
    QColor placeholder;  // "Type to search…"
    QColor selected;     // a highlighted row's ground
    QColor accent;       // the call to pair
    QColor green;        // connected, checked, "Sent to phone"
    QColor onSelected;   // text and glyphs on a highlighted row
    QColor code;         // the pairing code's digits
    QColor card;         // a box on the ground (where the QR code would be)
    QColor scrollHandle; // the history's scroll bar
};

inline Colours lightColours() {
    return {
        .background{0xf6, 0xf6, 0xf8},
        .border{0, 0, 0, 60},
        .divider{0, 0, 0, 28},
        .primary{0x1d, 0x1d, 0x1f},
        .secondary{0x6e, 0x6e, 0x73},
        .tertiary{0x9a, 0x9a, 0xa0},
        .placeholder{0x1d, 0x1d, 0x1f, 145},
        .selected{0x1f, 0x6f, 0xe5},
        .accent{0x1f, 0x6f, 0xe5},
        .green{0x28, 0xa7, 0x45},
        .onSelected{0xff, 0xff, 0xff},
        .code = QColor::fromRgbF(0.37f, 0.48f, 0.77f),
        .card{0xff, 0xff, 0xff},
        .scrollHandle{0, 0, 0, 70},
    };
}

// Off-white text on a near-black grey: the greys keep the light scheme's steps
// (each at least 3:1 on the ground, the text 12:1); blue, green and the code's
// digits are lighter than in light so that they stand out from the dark; the
// selection is a deeper blue under white text.
inline Colours darkColours() {
    return {
        .background{0x28, 0x28, 0x2c},
        .border{0xff, 0xff, 0xff, 40},
        .divider{0xff, 0xff, 0xff, 26},
        .primary{0xec, 0xec, 0xef},
        .secondary{0xa8, 0xa8, 0xb0},
        .tertiary{0x8a, 0x8a, 0x92},
        .placeholder{0xec, 0xec, 0xef, 128},
        .selected{0x28, 0x64, 0xd2},
        .accent{0x6a, 0xa3, 0xff},
        .green{0x34, 0xc7, 0x59},
        .onSelected{0xff, 0xff, 0xff},
        .code{0x8f, 0xa9, 0xee},
        .card{0x32, 0x32, 0x37},
        .scrollHandle{0xff, 0xff, 0xff, 80},
    };
}

// The colours the windows paint with now. Only the appearance (Appearance.h)
// writes them, when the desktop switches between light and dark; the names
// below stay bound to them, so code that reads a colour when it paints always
// gets the scheme in use.
inline Colours shownColours = lightColours();

inline const QColor& kBackground = shownColours.background;
inline const QColor& kBorder = shownColours.border;
inline const QColor& kDivider = shownColours.divider;
inline const QColor& kPrimary = shownColours.primary;
inline const QColor& kSecondary = shownColours.secondary;
inline const QColor& kTertiary = shownColours.tertiary;
inline const QColor& kSelected = shownColours.selected;
inline const QColor& kAccent = shownColours.accent;
inline const QColor& kGreen = shownColours.green;
inline const QColor& kOnSelected = shownColours.onSelected;

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
