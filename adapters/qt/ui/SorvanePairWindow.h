// The pairing window service: opens the PairView for the pair command and
// closes it when pairing succeeds. It keeps the last window it made, also after
// the user closed it: such a window no longer counts as open, and the next
// show() replaces it with a new one, with a fresh code.
//
// Thread-safety: main thread only, with a QApplication.
#pragma once

#include "base/Clock.h"
#include "ports/AppServices.h"

#include <memory>

namespace sorvane {

class PairView;

class SorvanePairWindow final : public PairingWindow {
public:
    // `clock` is the time the window's code and countdown follow.
    explicit SorvanePairWindow(WallClock clock = systemWallClock());
    ~SorvanePairWindow() override;

    // A window already on screen only comes to the front and gets the focus,
    // keeping its payload and code. Otherwise a new window opens centred on
    // the screen under the pointer, in front and focused.
    void show(const std::string& qrPayload, const std::array<uint8_t, 32>& identityPub) override;
    bool isOpen() const override;
    void close() override;

    // The window last made here, open or closed by the user; null before the
    // first show() and after close().
    PairView* window() const { return m_window.get(); }

private:
    WallClock m_clock;
    std::unique_ptr<PairView> m_window;
};

} // namespace sorvane
