// pair-window-screenshot OUTDIR: renders the pairing window to PNG files, with
// a fixed identity and clock so that every run draws the same picture: the QR
// code with 42 seconds left, and the fallback when no code can be drawn; then
// both again in the dark scheme.
// Run it on a real X server (scripts/screenshots starts Xvfb).
#include "adapters/qt/ui/Appearance.h"
#include "adapters/qt/ui/PairView.h"
#include "adapters/qt/ui/SorvanePairWindow.h"
#include "protocol/CryptoPrimitives.h"
#include "protocol/PairingHandshake.h"

#include "testing/screenshots/Screenshot.h"

#include <QApplication>
#include <QDir>
#include <QTest>

#include <chrono>
#include <cstdio>

using namespace sorvane;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const auto folder = sorvane::testing::screenshotFolder(argc, argv, "pair-window-screenshot");
    if (!folder)
        return 2;
    const QString& dir = *folder;

    Bytes seed(32), deviceID(16);
    for (size_t i = 0; i < seed.size(); ++i)
        seed[i] = static_cast<uint8_t>(i + 1);
    for (size_t i = 0; i < deviceID.size(); ++i)
        deviceID[i] = static_cast<uint8_t>(0xa0 + i);
    const auto identity = crypto::Ed25519PrivateKey::fromRaw(seed);
    const std::string payload = buildQRPayload(deviceID, identity.publicKey());
    const std::chrono::system_clock::time_point at{std::chrono::seconds(29'933'333LL * 60 + 18)};

    SorvanePairWindow pairing([at] { return at; });
    bool ok = true;
    for (const ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
        appearance::setColorScheme(scheme);
        const std::string suffix = scheme == ColorScheme::dark ? "-dark" : "";
        pairing.show(payload, identity.publicKey().raw());
        ok = QTest::qWaitForWindowExposed(pairing.window()) &&
             sorvane::testing::saveScreenshot(*pairing.window(), dir, ("pair-window" + suffix).c_str()) && ok;
        pairing.close();

        pairing.show(std::string(3000, 'x'), identity.publicKey().raw());
        ok = QTest::qWaitForWindowExposed(pairing.window()) &&
             sorvane::testing::saveScreenshot(*pairing.window(), dir, ("pair-window-no-qr" + suffix).c_str()) &&
             ok;
        pairing.close();
    }
    return ok ? 0 : 1;
}
