// What the application delegate adds on top of the work it cannot avoid.
//
// For 100 B, 10 KiB and 1 MiB clipboard texts, on the main thread of a real
// SorvaneAppDelegate whose peripheral runs on the simulated radio:
//   inbound   every chunk of a sealed frame handed to handleInboundClipboardChunk,
//             until the text is recorded and written to the clipboard interface
//   outbound  handleOutboundClipboard (a local copy) until the frame is sealed,
//             recorded and its chunks handed to the peripheral, which paces
//             them 15 ms apart on its own queue (reported separately); a frame
//             too long to reach the phone in time over GATT is refused instead
// beside the unavoidable part measured alone in the same run: opening (or
// sealing) the frame and History::record (whose file write runs on the history's
// writer thread, off the measured path). The delegate's share is
// (path - crypto - record) / (crypto + record); target < 20 % from 10 KiB.
// Medians of repeated runs; the history holds 50 entries of the same size, as a
// user's would.

#include "adapters/linux/system/HeapTuning.h"
#include "adapters/linux/secret/FileSecretStore.h"
#include "testing/sim/SimRadio.h"
#include "protocol/ChunkFraming.h"
#include "protocol/MessageCodec.h"
#include "protocol/SessionKey.h"
#include "protocol/Uuids.h"
#include "store/UserDefaultsFile.h"
#include "testing/desktop-doubles/DesktopDoubles.h"
#include "testing/test-env/TempDir.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace sorvane {
namespace {

using Clock = std::chrono::steady_clock;
using testing::TestClipboard;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A delegate with a keyed session and a phone-side key pair to talk to it.
struct Desktop {
    testing::TempDir dir;
    testing::TempDirectories directories{dir.path()};
    UserDefaultsFile defaults{dir.path() / "defaults.json"};
    sim::ManualMainQueue mainQueue;
    testing::TestApplication application{mainQueue};
    testing::FixedHost host;
    testing::TestPower power;
    sim::SimRadio radio;
    TestClipboard clipboard;
    testing::RecordingStatusItem statusItem;
    testing::RecordingPanel panel;
    testing::TestPairingWindow pairingWindow;
    testing::RecordingAlerts alerts;
    testing::NoHotKey hotKey;
    testing::TestInstaller installer;
    testing::RecordingUpdater updater;
    std::unique_ptr<SorvaneAppDelegate> app;
    std::unique_ptr<SessionKey> phoneTx;

    Desktop() {
        radio.setState(ManagerState::poweredOn);
        app = std::make_unique<SorvaneAppDelegate>(AppEnvironment{
            mainQueue, application, defaults, host, power, directories,
            [this] { return std::make_unique<FileSecretStore>(dir.path()); },
            radio.managerFactory(),
            [this] { return std::make_unique<TestClipboard::Watcher>(clipboard); }, statusItem,
            panel, pairingWindow, alerts, hotKey, installer, updater});
        app->applicationDidFinishLaunching();
        radio.waitForPeripheralIdle();
        mainQueue.runPending();
        const Bytes keyA = crypto::randomBytes(32), keyB = crypto::randomBytes(32);
        app->appState()->session = ActiveSession::fromKeys(keyA, keyB);
        app->appState()->autoPush = true;
        phoneTx = std::make_unique<SessionKey>(keyA, crypto::randomBytes(8));
    }
    ~Desktop() { app.reset(); }
};

void run() {
    std::printf("size      path        path ms  crypto ms  persist ms  delegate share\n");
    for (size_t size : {size_t{100}, size_t{10} << 10, size_t{1} << 20}) {
        Desktop d;
        // A realistic history: 50 earlier entries of the same size.
        for (int i = 0; i < 50; ++i) {
            std::string filler(size, static_cast<char>('a' + i % 26));
            filler += std::to_string(i);
            d.app->appState()->history->record(filler, sha256ShortHex(filler), Direction::sent);
        }
        const int reps = size >= (1u << 20) ? 9 : 31;
        std::vector<double> inPath, outPath, open, seal, persist;
        uint16_t frameID = 1000;
        for (int r = 0; r < reps; ++r) {
            std::string text(size, 'x');
            text += "#" + std::to_string(r);
            const std::string hash = sha256ShortHex(text);

            // Inbound through the delegate.
            const uint16_t id = frameID++;
            const Bytes sealed = d.phoneTx->encryptFrame(buildAAD(serviceUUID, charClipboardTx, id),
                                                         encodeClipboardText(text));
            const auto chunks = chunkPayload(id, sealed, kGattChunkBody, kFlagEncrypted);
            auto t0 = Clock::now();
            for (const Bytes& c : chunks)
                d.app->handleInboundClipboardChunk("phone", c);
            inPath.push_back(msSince(t0));

            // The unavoidable parts alone: open the same kind of frame, record a text.
            SessionKey rx(Bytes(32, 1), Bytes(8, 0));
            SessionKey tx(Bytes(32, 1), Bytes(8, 2));
            const auto aad = buildAAD(serviceUUID, charClipboardTx, id);
            const Bytes other = tx.encryptFrame(aad, encodeClipboardText(text));
            t0 = Clock::now();
            const Bytes plain = rx.decryptFrame(aad, Bytes(other));
            open.push_back(msSince(t0));
            (void)decodeMessage(plain);
            std::string other2 = text + "!";
            t0 = Clock::now();
            d.app->appState()->history->record(other2, sha256ShortHex(other2), Direction::received);
            persist.push_back(msSince(t0));

            // Outbound through the delegate (first chunk handed over; pacing aside).
            std::string local = text + "@";
            t0 = Clock::now();
            d.app->handleOutboundClipboard(local, sha256ShortHex(local), false);
            outPath.push_back(msSince(t0));
            t0 = Clock::now();
            (void)tx.encryptFrame(buildAAD(serviceUUID, charClipboardRx, id), encodeClipboardText(local));
            seal.push_back(msSince(t0));
            // The chunks leave from the peripheral's queue, off the main thread.
        }
        const double p = median(persist);
        const double inShare = (median(inPath) - median(open) - p) / (median(open) + p);
        const double outShare = (median(outPath) - median(seal) - p) / (median(seal) + p);
        const char* label = size == 100 ? "100 B " : size == (10u << 10) ? "10 KiB" : "1 MiB ";
        std::printf("%s    inbound   %8.3f  %9.3f  %10.3f  %+13.1f %%\n", label, median(inPath),
                    median(open), p, inShare * 100);
        std::printf("%s    outbound  %8.3f  %9.3f  %10.3f  %+13.1f %%\n", label, median(outPath),
                    median(seal), p, outShare * 100);
        const size_t chunks = std::max<size_t>(1, (size + 5 + 28 + 199) / 200);
        if (chunks > SorvaneAppDelegate::kMaxGattChunks)
            std::printf("%s    outbound over GATT: refused (%zu chunks > %zu), needs L2CAP\n",
                        label, chunks, SorvaneAppDelegate::kMaxGattChunks);
        else
            std::printf("%s    outbound pacing (not included): %zu chunks x 15 ms = %.0f ms\n",
                        label, chunks, (chunks - 1) * 15.0);
    }
}

} // namespace
} // namespace sorvane

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    sorvane::retainHeapForLargeFrames();
    sorvane::setLogSink(std::make_shared<sorvane::testing::NullSink>());
    sorvane::run();
    return 0;
}
