// The pairing window itself: the QR code of the pairing payload for the phone's
// camera and, for typing instead, the six-digit code of the current minute with
// the seconds until it changes. A titled, closable window of fixed width 380
// whose height follows its content; it cannot be resized. Ctrl+W closes it, as
// it closes other windows.
//
// While it is on screen it ticks at each whole second of its wall clock, so the
// countdown runs 60...1 and the code changes within the second the minute turns.
//
// Thread-safety: main thread only, with a QApplication.
#pragma once

#include "base/Clock.h"
#include "ui/PairingCountdown.h"

#include <QImage>
#include <QWidget>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

class QLabel;
class QTimer;

namespace sorvane {

class PairView final : public QWidget {
public:
    // The window, hidden. `clock` supplies the time for the code and countdown.
    PairView(std::string qrPayload, const std::array<uint8_t, 32>& identityPub,
             WallClock clock = systemWallClock(), QWidget* parent = nullptr);
    ~PairView() override;

    // The QR code of `text`'s UTF-8 bytes (byte mode, error correction M), one
    // pixel per module, black on white, with a 4-module quiet zone on every
    // side. Absent, with a log line, when the text does not fit the largest code.
    static std::optional<QImage> generateQR(const std::string& text);

    static constexpr int kWidth = 380;
    static constexpr int kQRSide = 220;

    const std::string& qrPayload() const { return m_qrPayload; }
    // The parts a user sees, for the tests and the screenshot tool. Exactly one
    // of qrCode() and qrFailureLabel() is non-null.
    QWidget* qrCode() const { return m_qr; }
    QLabel* qrFailureLabel() const { return m_qrFailure; }
    QLabel* codeLabel() const { return m_code; }
    QLabel* countdownLabel() const { return m_countdown; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void tick();
    void scheduleTick();
    void showCountdown();

    const std::string m_qrPayload;
    PairingCountdown m_state;
    QTimer* m_timer = nullptr;
    QWidget* m_qr = nullptr;
    QLabel* m_qrFailure = nullptr;
    QLabel* m_code = nullptr;
    QLabel* m_countdown = nullptr;
};

} // namespace sorvane
