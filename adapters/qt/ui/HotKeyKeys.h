// What a key event in one of our windows means as a global shortcut: the
// stored modifier mask and key code (ui/HotKeyCombo.h), for the shortcut
// recorder, so that what it records is what the grab asks the desktop for.
//
// Thread-safety: pure functions (any thread).
#pragma once

#include <QKeyEvent>

#include <cstdint>
#include <optional>

namespace sorvane {

// The stored mask of Qt's modifiers: Meta (Super on X11) 0x100, Shift 0x200,
// Alt 0x800, Control 0x1000. Keypad and group switch are left out.
uint32_t carbonModifiers(Qt::KeyboardModifiers modifiers);

// The stored key code of the key `event` names, through its keysym: the native
// keysym where the platform gives one (xcb), else the keysym of its Qt key for
// A-Z, 0-9, Space, Return, Tab and F1-F12 (platforms without native keys, such
// as offscreen). Absent for any other key.
std::optional<uint32_t> hotKeyCodeForKeyEvent(const QKeyEvent& event);

} // namespace sorvane
