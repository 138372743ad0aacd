// The About window service: opens the AboutView, or brings the open one to the
// front. It keeps the last window it made, also after the user closed it: such
// a window no longer counts as open, and the next show() replaces it.
//
// Thread-safety: main thread only, with a QApplication.
#pragma once

#include "ports/AppServices.h"

#include <memory>

namespace sorvane {

class AboutView;

class QtAboutWindow final : public AboutWindow {
public:
    QtAboutWindow();
    ~QtAboutWindow() override;

    // A window on screen comes to the front and gets the focus. Otherwise a new
    // one (with this build's facts, the application's version as it is now)
    // opens centred on the screen under the pointer, in front and focused.
    void show() override;

    // The window last made here, open or closed by the user; null before the
    // first show().
    AboutView* window() const { return m_window.get(); }

private:
    std::unique_ptr<AboutView> m_window;
};

} // namespace sorvane
