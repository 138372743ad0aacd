#include "adapters/qt/ui/AboutWindow.h"

#include "adapters/qt/ui/AboutView.h"
#include "adapters/qt/ui/OrdinaryWindow.h"

namespace sorvane {

QtAboutWindow::QtAboutWindow() = default;

QtAboutWindow::~QtAboutWindow() = default;

void QtAboutWindow::show() {
    if (m_window && m_window->isVisible()) {
        bringToFront(m_window.get()); // also when it was minimised
        return;
    }
    // Replaces (and frees) a window the user closed.
    m_window = std::make_unique<AboutView>();
    showCentredUnderPointer(m_window.get());
}

} // namespace sorvane
