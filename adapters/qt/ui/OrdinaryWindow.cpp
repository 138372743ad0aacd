#include "adapters/qt/ui/OrdinaryWindow.h"

#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QWidget>

namespace sorvane {

void bringToFront(QWidget* window) {
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->raise();
    window->activateWindow();
}

void showCentredUnderPointer(QWidget* window) {
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (screen) {
        QRect frame = window->rect();
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
    window->show();
    bringToFront(window);
}

bool isCloseWindowShortcut(const QKeyEvent& event) {
    return event.matches(QKeySequence::Close) ||
           (event.key() == Qt::Key_W && event.modifiers() == Qt::ControlModifier);
}

} // namespace sorvane
