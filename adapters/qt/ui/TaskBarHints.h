// Keeps a pop-up window out of task bars, pagers and the window switcher.
//
// On X11 the window gets _NET_WM_STATE_SKIP_TASKBAR and _NET_WM_STATE_SKIP_PAGER
// each time before it is mapped: the window manager drops _NET_WM_STATE when a
// window is withdrawn, and reads it anew on the next map. Qt keeps the states
// it finds on an unmapped window and adds its own (stays-on-top), so the two
// do not fight. Elsewhere (offscreen, Wayland) this does nothing.
//
// Thread-safety: main (GUI) thread only.
#pragma once

class QWidget;

namespace sorvane {

// For a top-level `window`; the hint lives as long as the window.
void keepOutOfTaskBars(QWidget* window);

} // namespace sorvane
