// What the program's ordinary windows (pairing, preferences, About) share:
// they open centred on the screen under the pointer, a second opening brings
// the open one back to the front (also from minimised), and Ctrl+W closes them.
//
// Thread-safety: main (GUI) thread only.
#pragma once

class QKeyEvent;
class QWidget;

namespace sorvane {

// Un-minimises, raises and activates `window`.
void bringToFront(QWidget* window);
// Centres the hidden `window` on the screen under the pointer (the primary
// screen when none is), shows it and brings it to the front.
void showCentredUnderPointer(QWidget* window);
// Ctrl+W, or the platform's own close-window keys.
bool isCloseWindowShortcut(const QKeyEvent& event);

} // namespace sorvane
