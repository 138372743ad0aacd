#include "adapters/qt/ui/AboutWindow.h"

#include "adapters/qt/ui/AboutView.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

namespace sorvane {

QtAboutWindow::QtAboutWindow() = default;

QtAboutWindow::~QtAboutWindow() = default;

void QtAboutWindow::show() {
    if (m_window && m_window->isVisible()) {
        // Also when it was minimised: back on screen, in front.
        m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
        m_window->raise();
        m_window->activateWindow();
        return;
    }
    // Replaces (and frees) a window the user closed.
    m_window = std::make_unique<AboutView>();
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (screen) {
        QRect frame = m_window->rect();
        frame.moveCenter(screen->availableGeometry().center());
        m_window->move(frame.topLeft());
    }
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

} // namespace sorvane
