#include "adapters/qt/ui/SorvanePairWindow.h"

#include "adapters/qt/ui/PairView.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

namespace sorvane {

SorvanePairWindow::SorvanePairWindow(WallClock clock) : m_clock(std::move(clock)) {}

SorvanePairWindow::~SorvanePairWindow() = default;

void SorvanePairWindow::show(const std::string& qrPayload,
                             const std::array<uint8_t, 32>& identityPub) {
    if (isOpen()) {
        m_window->raise();
        m_window->activateWindow();
        return;
    }
    // Replaces (and frees) a window the user closed.
    m_window = std::make_unique<PairView>(qrPayload, identityPub, m_clock);
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

bool SorvanePairWindow::isOpen() const {
    return m_window && m_window->isVisible();
}

void SorvanePairWindow::close() {
    if (!m_window)
        return;
    m_window->close();
    m_window.reset();
}

} // namespace sorvane
