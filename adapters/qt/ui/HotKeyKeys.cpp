#include "adapters/qt/ui/HotKeyKeys.h"

#include "ui/HotKeyCombo.h"

namespace sorvane {
namespace {

// The keysym of a Qt key the shortcut table names, 0 for any other.
uint32_t keysymForQtKey(int key) {
    // Qt's codes for letters, digits and Space are their (upper-case) keysyms.
    if ((key >= Qt::Key_A && key <= Qt::Key_Z) || (key >= Qt::Key_0 && key <= Qt::Key_9) || key == Qt::Key_Space)
        return static_cast<uint32_t>(key);
    if (key >= Qt::Key_F1 && key <= Qt::Key_F12)
        return 0xffbe + static_cast<uint32_t>(key - Qt::Key_F1);
    switch (key) {
    case Qt::Key_Return:
        return 0xff0d;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: // Shift+Tab
        return 0xff09;
    default:
        return 0;
    }
}

} // namespace

uint32_t carbonModifiers(Qt::KeyboardModifiers modifiers) {
    uint32_t mask = 0;
    if (modifiers & Qt::MetaModifier)
        mask |= hotkeymask::super;
    if (modifiers & Qt::ShiftModifier)
        mask |= hotkeymask::shift;
    if (modifiers & Qt::AltModifier)
        mask |= hotkeymask::alt;
    if (modifiers & Qt::ControlModifier)
        mask |= hotkeymask::ctrl;
    return mask;
}

std::optional<uint32_t> hotKeyCodeForKeyEvent(const QKeyEvent& event) {
    // On xcb the native virtual key is the keysym; Shift+Tab gives
    // ISO_Left_Tab there, which the table knows as Tab.
    constexpr uint32_t isoLeftTab = 0xfe20;
    if (const uint32_t native = event.nativeVirtualKey()) {
        if (native == isoLeftTab)
            return keyCodeForKeysym(0xff09);
        if (const auto code = keyCodeForKeysym(native))
            return code;
    }
    if (const uint32_t keysym = keysymForQtKey(event.key()))
        return keyCodeForKeysym(keysym);
    return std::nullopt;
}

} // namespace sorvane
