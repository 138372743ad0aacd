// A whole session through the real SorvanePeripheral on the BlueZ backend: the
// phone pairs, sends a sealed clipboard text in chunks and receives one back. The
// test body plays the desktop's application (pairing answer, reassembly, sealing).
#include "bluez/BluezTestSupport.h"

namespace sorvane::testing {
namespace {

using W = PeripheralEvent::Write;

TEST(BluezSession, PairsAndExchangesSealedClipboardTextsOverGatt) {
    BluezBed bed;
    DesktopSide desktop;
    bed.startServing(desktop.deviceInfo());

    auto phone = bed.connectPhone(); // ATT MTU 517, as Android asks for
    ASSERT_TRUE(phone);
    const std::string device = phone.device;
    ASSERT_TRUE(phone->learnDesktop(desktop.qrText()));
    const auto info = phone->readDeviceInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->identityPublicKey, toBytes(desktop.identity.publicKey().raw()));
    ASSERT_TRUE(phone->subscribe());

    // The phone writes its hello and waits for the ack; the desktop answers it.
    ASSERT_TRUE(pairAsDesktop(bed, desktop, device, [&] { return phone->pair(); }));
    ASSERT_TRUE(phone->hasSession());

    // Phone to desktop: a sealed text of several 200-byte chunks, written with response.
    std::string text;
    for (int i = 0; i < 60; ++i)
        text += "line " + std::to_string(i) + " of the phone's clipboard\n";
    ASSERT_TRUE(phone->sendClipboardText(text, phone::Route::gatt));
    std::optional<SorvaneMessage> received;
    size_t chunks = 0;
    const bool complete = waitForEvent<W>(bed.events, [&](const W& w) {
        if (w.charUUID != upper(charClipboardTx))
            return false;
        ++chunks;
        received = desktop.acceptChunk(w.data);
        return received.has_value();
    }).has_value();
    ASSERT_TRUE(complete);
    EXPECT_GT(chunks, 2u);
    EXPECT_EQ(received, (SorvaneMessage{SorvaneMessage::ClipboardText{text}}));

    // Desktop to phone: sealed chunks notified on the desktop-to-phone characteristic.
    const std::string reply = "copied on the desktop: " + std::string(500, 'd');
    const auto outbound = desktop.chunksFor(reply, 41);
    ASSERT_GT(outbound.size(), 1u);
    for (const auto& chunk : outbound)
        bed.peripheral->notify(std::string(charClipboardRx), chunk);
    const auto inbound = phone->nextMessage(kWait);
    ASSERT_TRUE(inbound);
    EXPECT_TRUE(inbound->encrypted);
    EXPECT_EQ(inbound->route, phone::Route::gatt);
    EXPECT_EQ(inbound->frameID, 41);
    EXPECT_EQ(inbound->message, (SorvaneMessage{SorvaneMessage::ClipboardText{reply}}));
    EXPECT_EQ(phone->rejectedInbound(), 0u);
}

} // namespace
} // namespace sorvane::testing
