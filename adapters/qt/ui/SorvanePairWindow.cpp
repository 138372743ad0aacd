#include "adapters/qt/ui/SorvanePairWindow.h"

#include "adapters/qt/ui/OrdinaryWindow.h"
#include "adapters/qt/ui/PairView.h"

namespace sorvane {

SorvanePairWindow::SorvanePairWindow(WallClock clock) : m_clock(std::move(clock)) {}

SorvanePairWindow::~SorvanePairWindow() = default;

void SorvanePairWindow::show(const std::string& qrPayload,
                             const std::array<uint8_t, 32>& identityPub) {
    if (isOpen()) {
        bringToFront(m_window.get());
        return;
    }
    // Replaces (and frees) a window the user closed.
    m_window = std::make_unique<PairView>(qrPayload, identityPub, m_clock);
    showCentredUnderPointer(m_window.get());
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
