// The pairing window as a phone and a user meet it: the QR code read back from
// the window's pixels with a real decoder (zbar), the code and countdown across
// a minute boundary on a hand-set wall clock, which window a repeated pair
// command, the user's close (also with Ctrl+W) and a successful pairing leave,
// and the fallback when the payload cannot be drawn. Offscreen, and with --x11
// on Xvfb with openbox.
#include "adapters/qt/ui/PairView.h"
#include "adapters/qt/ui/SorvanePairWindow.h"
#include "protocol/CryptoPrimitives.h"
#include "protocol/PairingHandshake.h"
#include "qtui/QtUiTestEnv.h"

#include <QApplication>
#include <QFontInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>
#include <zbar.h>

#include <chrono>
#include <string>
#include <vector>

namespace sorvane::testing {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

// The text of every QR code zbar finds in `image`.
std::vector<std::string> decodeQR(const QImage& image) {
    const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    const auto width = static_cast<unsigned>(grey.width());
    const auto height = static_cast<unsigned>(grey.height());
    // Y800 rows are packed; QImage pads them to 32 bits.
    std::vector<unsigned char> pixels(static_cast<size_t>(width) * height);
    for (unsigned y = 0; y < height; ++y)
        std::copy_n(grey.constScanLine(static_cast<int>(y)), width,
                    pixels.data() + static_cast<size_t>(y) * width);
    zbar::ImageScanner scanner;
    scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 0);
    scanner.set_config(zbar::ZBAR_QRCODE, zbar::ZBAR_CFG_ENABLE, 1);
    zbar::Image frame(width, height, "Y800", pixels.data(), pixels.size());
    scanner.scan(frame);
    std::vector<std::string> texts;
    for (auto symbol = frame.symbol_begin(); symbol != frame.symbol_end(); ++symbol)
        texts.push_back(symbol->get_data());
    return texts;
}

class PairWindowTest : public ::testing::Test {
protected:
    // The start of a Unix minute.
    const system_clock::time_point minuteStart{seconds(29'933'333LL * 60)};
    system_clock::time_point now = minuteStart + 18s;
    SorvanePairWindow pairing{[this] { return now; }};

    struct Identity {
        crypto::Ed25519PrivateKey key = crypto::Ed25519PrivateKey::generate();
        Bytes deviceID = crypto::randomBytes(16);
        std::string payload() const { return buildQRPayload(deviceID, key.publicKey()); }
        const std::array<uint8_t, 32>& pub() const { return key.publicKey().raw(); }
    };

    PairView* showAndWait(const std::string& payload, const std::array<uint8_t, 32>& pub) {
        pairing.show(payload, pub);
        PairView* view = pairing.window();
        EXPECT_NE(view, nullptr);
        if (view) {
            EXPECT_TRUE(QTest::qWaitForWindowExposed(view));
        }
        return view;
    }

    std::string codeAt(const Identity& identity, system_clock::time_point at) {
        return derivePairingCode(identity.key.publicKey(), 0, [at] { return at; });
    }

    void TearDown() override { pairing.close(); }
};

TEST_F(PairWindowTest, QRCodeOnScreenReadsBackAsThePayload) {
    for (int i = 0; i < 3; ++i) {
        const Identity identity;
        SCOPED_TRACE(identity.payload());
        PairView* view = showAndWait(identity.payload(), identity.pub());
        ASSERT_NE(view, nullptr);
        ASSERT_NE(view->qrCode(), nullptr);
        EXPECT_EQ(view->qrFailureLabel(), nullptr);

        // What the phone's camera sees: the whole window at its real pixel size.
        EXPECT_EQ(decodeQR(view->grab().toImage()), std::vector<std::string>{identity.payload()});

        // Sharp modules: inside the frame's border only pure black and white.
        const QImage qr =
            view->qrCode()->grab().toImage().convertToFormat(QImage::Format_Grayscale8);
        EXPECT_EQ(view->qrCode()->size(), QSize(PairView::kQRSide, PairView::kQRSide));
        const int inset = qCeil(4 * view->devicePixelRatioF());
        int grey = 0, dark = 0;
        for (int y = inset; y < qr.height() - inset; ++y)
            for (int x = inset; x < qr.width() - inset; ++x) {
                const int v = qr.constScanLine(y)[x];
                grey += v != 0 && v != 255;
                dark += v == 0;
            }
        EXPECT_EQ(grey, 0);
        EXPECT_GT(dark, 0);

        EXPECT_EQ(view->windowTitle(), QStringLiteral("Pair New Device"));
        EXPECT_EQ(view->minimumSize(), view->maximumSize()) << "resizable";
        EXPECT_EQ(view->width(), PairView::kWidth);
        // Centred on the screen (a window manager's title bar may move it a little).
        const QRect screen = view->screen()->availableGeometry();
        EXPECT_LE((view->frameGeometry().center() - screen.center()).manhattanLength(), 40)
            << view->frameGeometry().x() << "," << view->frameGeometry().y();
        pairing.close();
    }
}

TEST_F(PairWindowTest, CodeAndCountdownFollowTheWallClockAcrossAMinute) {
    const Identity identity;
    now = minuteStart + 59s + 500ms;
    PairView* view = showAndWait(identity.payload(), identity.pub());
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->countdownLabel()->text(), QStringLiteral("Refreshes in 1s"));
    EXPECT_EQ(view->codeLabel()->text().toStdString(), codeAt(identity, minuteStart));

    now = minuteStart + 60s;
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return view->countdownLabel()->text() == "Refreshes in 60s"; }, 3000))
        << view->countdownLabel()->text().toStdString();
    EXPECT_EQ(view->codeLabel()->text().toStdString(), codeAt(identity, minuteStart + 60s));
    EXPECT_NE(view->codeLabel()->text().toStdString(), codeAt(identity, minuteStart));

    now = minuteStart + 61s;
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return view->countdownLabel()->text() == "Refreshes in 59s"; }, 3000))
        << view->countdownLabel()->text().toStdString();

    // The digits in a bold fixed-pitch face (their colour as shown: AppearanceTest).
    const QLabel* code = view->codeLabel();
    EXPECT_TRUE(QFontInfo(code->font()).fixedPitch())
        << QFontInfo(code->font()).family().toStdString();
    EXPECT_TRUE(code->font().bold());
    EXPECT_EQ(code->font().pixelSize(), 22);
    EXPECT_EQ(code->font().letterSpacing(), 4);
}

// A repeated pair command brings the open window forward as it is; once the
// user has closed it, the window is kept hidden until the next command makes a
// new one with its own code; once the program has closed it, it is gone.
TEST_F(PairWindowTest, ShowingAgainBringsTheOpenWindowForwardAndAfterAnyCloseANewOne) {
    const Identity first, second;
    PairView* view = showAndWait(first.payload(), first.pub());
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowActive(view));
    QWidget other;
    ASSERT_TRUE(activateAnother(other));
    pairing.show(second.payload(), second.pub());
    EXPECT_EQ(pairing.window(), view);
    EXPECT_TRUE(QTest::qWaitForWindowActive(view));
    EXPECT_EQ(visibleWindows<PairView>(), std::vector<PairView*>{view});
    EXPECT_EQ(decodeQR(view->grab().toImage()), std::vector<std::string>{first.payload()});
    EXPECT_EQ(view->codeLabel()->text().toStdString(), codeAt(first, now));

    for (const bool ctrlW : {false, true}) {
        SCOPED_TRACE(ctrlW ? "Ctrl+W" : "the title bar's close button");
        QPointer<PairView> old = pairing.window();
        if (ctrlW) {
            ASSERT_TRUE(QTest::qWaitForWindowActive(old));
            QTest::keyClick(old, Qt::Key_W);
            QTest::keyClick(old, Qt::Key_W, Qt::ShiftModifier);
            QTest::keyClick(old, Qt::Key_Q, Qt::ControlModifier);
            EXPECT_TRUE(pairing.isOpen()) << "closed by another key";
            QTest::keyClick(old, Qt::Key_W, Qt::ControlModifier);
        } else {
            old->close();
        }
        EXPECT_TRUE(QTest::qWaitFor([&] { return visibleWindows<PairView>().empty(); }, 2000));
        EXPECT_FALSE(pairing.isOpen());
        EXPECT_EQ(pairing.window(), old.data()) << "kept after the user closed it";

        now += 2min; // a fresh code
        const Identity next;
        PairView* fresh = showAndWait(next.payload(), next.pub());
        ASSERT_NE(fresh, nullptr);
        EXPECT_TRUE(old.isNull()) << "the closed window is freed";
        EXPECT_TRUE(pairing.isOpen());
        EXPECT_EQ(visibleWindows<PairView>(), std::vector<PairView*>{fresh});
        EXPECT_EQ(decodeQR(fresh->grab().toImage()), std::vector<std::string>{next.payload()});
        EXPECT_EQ(fresh->codeLabel()->text().toStdString(), codeAt(next, now));
    }

    // Closed by the program after a pairing: forgotten, and a second close is harmless.
    QPointer<PairView> last = pairing.window();
    pairing.close();
    EXPECT_FALSE(pairing.isOpen());
    EXPECT_EQ(pairing.window(), nullptr);
    EXPECT_TRUE(last.isNull());
    EXPECT_TRUE(visibleWindows<PairView>().empty());
    pairing.close();
    EXPECT_FALSE(pairing.isOpen());
    EXPECT_NE(showAndWait(first.payload(), first.pub()), nullptr);
    EXPECT_TRUE(pairing.isOpen());
}

// 2331 bytes is what a version 40 code holds at level M in byte mode.
TEST_F(PairWindowTest, APayloadTooLongForAnyCodeShowsTheFailureTextNeverAShortenedCode) {
    std::string largest(2331, 'x');
    largest.replace(0, 9, "SORVANE1:");
    largest.back() = 'Z';
    const std::optional<QImage> modules = PairView::generateQR(largest);
    ASSERT_TRUE(modules);
    EXPECT_EQ(modules->width(), 177 + 8);
    // A camera's view of it, three pixels a module: the whole text, to the last byte.
    EXPECT_EQ(decodeQR(modules->scaled(modules->size() * 3)), std::vector<std::string>{largest});

    const Identity identity;
    PairView* view = showAndWait(largest + "!", identity.pub());
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->qrCode(), nullptr);
    ASSERT_NE(view->qrFailureLabel(), nullptr);
    EXPECT_TRUE(view->qrFailureLabel()->isVisible());
    EXPECT_EQ(view->qrFailureLabel()->text(), QStringLiteral("Failed to generate QR code"));
    EXPECT_TRUE(decodeQR(view->grab().toImage()).empty());
    // Pairing by code still works.
    EXPECT_TRUE(view->codeLabel()->isVisible());
    EXPECT_EQ(view->codeLabel()->text().toStdString(), codeAt(identity, now));
    EXPECT_EQ(view->countdownLabel()->text(), QStringLiteral("Refreshes in 42s"));
}

} // namespace
} // namespace sorvane::testing
