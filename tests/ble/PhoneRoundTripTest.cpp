// The phone counterpart against SorvanePeripheral on the simulated radio. The
// desktop's side of each exchange is played here with the protocol functions.
#include "BleTestSupport.h"

#include "protocol/ChunkFraming.h"
#include "protocol/MessageCodec.h"
#include "protocol/PairingHandshake.h"
#include "protocol/Reassembler.h"
#include "protocol/SessionKey.h"
#include "protocol/SorvaneCryptoError.h"
#include "support/ErrorOf.h"
#include "testing/phone/PhoneCentral.h"

#include <gtest/gtest.h>

#include <thread>

using namespace sorvane;
using namespace sorvane::testing;
using phone::PhoneCentral;
using phone::Route;

namespace {

struct DesktopKeys {
    crypto::Ed25519PrivateKey identity = crypto::Ed25519PrivateKey::generate();
    Bytes deviceID = crypto::randomBytes(16);
};

// The desktop: the peripheral plus what the application does with its events.
struct DesktopPeer : DesktopKeys, Desktop {
    DesktopPeer()
        : Desktop(buildDeviceInfo(identity.publicKey().raw(), deviceID, "Desktop-Sorvane")) {}

    std::string qr() const { return buildQRPayload(deviceID, identity.publicKey()); }

    // The next write on `uuid`, passing over every other event.
    std::optional<PeripheralEvent::Write> nextWrite(std::string_view uuid) {
        while (events.waitForSize(cursor + 1)) {
            const PeripheralEvent e = events.items()[cursor++];
            if (const auto* w = std::get_if<PeripheralEvent::Write>(&e.value))
                if (uuidEquals(w->charUUID, uuid))
                    return *w;
        }
        return std::nullopt;
    }

    // Verifies the hello, derives the session and notifies the ack.
    bool answerHello(const Bytes& hello) {
        try {
            const auto parsed = parsePairingHello(hello);
            if (!parsed.identityPubEd25519.verify(parsed.signedBody, parsed.signature))
                return false;
            const auto ephemeral = crypto::X25519PrivateKey::generate();
            const auto keys = deriveSessionKeys(ephemeral, parsed.ephemeralPubX25519, parsed.nonce);
            session = ActiveSession::fromKeys(keys.keyA, keys.keyB);
            peripheral->notify(std::string(charPairing),
                               buildPairingAck(identity, ephemeral.publicKey(), parsed.nonce));
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }

    // Opens a frame from the phone; throws what the session key throws.
    std::optional<SorvaneMessage> open(uint8_t flags, uint16_t frameID, ByteView payload) {
        if (!(flags & kFlagEncrypted))
            return decodeMessage(payload);
        return decodeMessage(
            session->rx->decryptFrame(buildAAD(serviceUUID, charClipboardTx, frameID), payload));
    }

    // The phone's next frame written as chunks, reassembled and opened.
    std::optional<SorvaneMessage> receiveChunks() {
        while (auto w = nextWrite(charClipboardTx)) {
            const auto chunk = parseChunk(w->data);
            if (!chunk)
                continue;
            if (auto frame = reassembler.push(*chunk))
                return open(frame->flags, chunk->frameID, frame->payload);
        }
        return std::nullopt;
    }

    // The phone's next L2CAP frame, opened.
    std::optional<SorvaneMessage> receiveL2CAP() {
        if (!frames.waitForSize(framesSeen + 1))
            return std::nullopt;
        const Bytes frame = frames.items()[framesSeen++];
        const auto parsed = parseL2CAPFrame(frame);
        if (!parsed)
            return std::nullopt;
        return open(parsed->flags, parsed->frameID, parsed->payload);
    }

    std::pair<uint8_t, Bytes> seal(const Bytes& message, uint16_t frameID) {
        if (!session)
            return {0, message};
        return {kFlagEncrypted, session->tx->encryptFrame(
                                    buildAAD(serviceUUID, charClipboardRx, frameID), message)};
    }

    void sendChunks(const Bytes& message, uint16_t frameID) {
        const auto [flags, payload] = seal(message, frameID);
        for (auto& chunk : chunkPayload(frameID, payload, kGattChunkBody, flags))
            peripheral->notify(std::string(charClipboardRx), chunk);
    }

    bool sendL2CAPFrame(const Bytes& message, uint16_t frameID) {
        const auto [flags, payload] = seal(message, frameID);
        return peripheral->sendL2CAP(buildL2CAPFrame(flags, frameID, payload));
    }

    std::optional<ActiveSession> session;
    Reassembler reassembler;
    size_t cursor = 0;
    size_t framesSeen = 0;
};

// Pairs `phone` with `d`, playing the desktop's part on this thread.
bool pair(DesktopPeer& d, PhoneCentral& phone, phone::HelloFault fault = phone::HelloFault::none) {
    bool paired = false;
    std::thread phoneSide([&] { paired = phone.pair(fault); });
    const auto hello = d.nextWrite(charPairing);
    const bool answered = hello && d.answerHello(hello->data);
    phoneSide.join();
    return answered && paired;
}

std::string textOf(const std::optional<SorvaneMessage>& m) {
    if (!m)
        return "<none>";
    if (const auto* t = std::get_if<SorvaneMessage::ClipboardText>(&m->value))
        return t->text;
    if (const auto* n = std::get_if<SorvaneMessage::PhoneName>(&m->value))
        return "name:" + n->name;
    return "<other>";
}

// What reached the phone: the route, whether it was sealed, the frame id and the text.
std::string seen(const std::optional<phone::InboundMessage>& m) {
    if (!m)
        return "<none>";
    return std::string(m->route == Route::gatt ? "gatt " : "l2cap ") +
           (m->encrypted ? "sealed #" : "plain #") + std::to_string(m->frameID) + " " +
           textOf(m->message);
}

} // namespace

TEST(PhoneRoundTrip, PairsThenCarriesTextAndNamesBothWaysOnBothRoutes) {
    DesktopPeer d;
    d.powerOn();
    auto central = d.radio.connectCentral();
    auto phone = PhoneCentral::withNewIdentity(*central);

    EXPECT_FALSE(phone->learnDesktop("SORVANE1:not-a-payload"));
    ASSERT_TRUE(phone->learnDesktop(d.qr()));

    // 66 bytes at 22 a read: three full pieces, then an empty one at the end.
    const size_t answers = d.radio.answersSent();
    const auto info = phone->readDeviceInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(d.radio.answersSent() - answers, 4u);
    EXPECT_EQ(info->identityPublicKey, toBytes(d.identity.publicKey().raw()));
    EXPECT_EQ(info->deviceID, d.deviceID);
    EXPECT_EQ(info->displayName, "Desktop-Sorvane");
    EXPECT_EQ(phone->readPSM(), 0x0081);

    ASSERT_TRUE(phone->subscribe());
    ASSERT_TRUE(d.events.waitForSize(3));
    EXPECT_EQ(countOf<PeripheralEvent::Subscribed>(d.events.items()), 3u);
    ASSERT_TRUE(pair(d, *phone));
    EXPECT_TRUE(phone->hasSession());

    // GATT, phone to desktop: several chunks of sealed text, then the name.
    const std::string longText(700, 'x');
    ASSERT_TRUE(phone->sendClipboardText(longText, Route::gatt));
    EXPECT_EQ(textOf(d.receiveChunks()), longText);
    ASSERT_TRUE(phone->sendPhoneName("Pixel", Route::gatt));
    EXPECT_EQ(textOf(d.receiveChunks()), "name:Pixel");

    // GATT, desktop to phone.
    d.sendChunks(encodeClipboardText(std::string(450, 'y')), 7);
    EXPECT_EQ(seen(phone->nextMessage(kWait)), "gatt sealed #7 " + std::string(450, 'y'));

    // L2CAP both ways.
    ASSERT_TRUE(phone->openL2CAP());
    ASSERT_TRUE(d.idle());
    ASSERT_TRUE(phone->sendClipboardText("over the channel", Route::l2cap));
    EXPECT_EQ(textOf(d.receiveL2CAP()), "over the channel");
    ASSERT_TRUE(phone->sendPhoneName("Pixel 9", Route::l2cap));
    EXPECT_EQ(textOf(d.receiveL2CAP()), "name:Pixel 9");
    ASSERT_TRUE(d.sendL2CAPFrame(encodeClipboardText("back over the channel"), 8));
    EXPECT_EQ(seen(phone->nextMessage(kWait)), "l2cap sealed #8 back over the channel");

    // Control opcodes.
    ASSERT_TRUE(phone->sendControl(CONTROL_UNPAIR));
    const auto control = d.nextWrite(charControl);
    ASSERT_TRUE(control);
    EXPECT_EQ(control->data, Bytes{CONTROL_UNPAIR});
    d.peripheral->notify(std::string(charControl), Bytes{CONTROL_GOODBYE});
    EXPECT_EQ(phone->nextControl(kWait), CONTROL_GOODBYE);
    EXPECT_EQ(phone->rejectedInbound(), 0u);
}

TEST(PhoneRoundTrip, TheDesktopCatchesAMisbehavingPhone) {
    DesktopPeer d;
    d.powerOn();
    auto central = d.radio.connectCentral();
    PhoneCentral::Options options;
    options.timeout = std::chrono::milliseconds(200); // for the hello that gets no answer
    auto phone = PhoneCentral::withNewIdentity(*central, options);
    ASSERT_TRUE(phone->learnDesktop(d.qr()));
    ASSERT_TRUE(phone->subscribe());

    // Without a session frames travel plain.
    ASSERT_TRUE(phone->sendClipboardText("plain", Route::gatt));
    EXPECT_EQ(textOf(d.receiveChunks()), "plain");
    d.sendChunks(encodeClipboardText("plain back"), 1);
    EXPECT_EQ(seen(phone->nextMessage(kWait)), "gatt plain #1 plain back");

    // A hello with a broken signature gets no ack.
    EXPECT_FALSE(pair(d, *phone, phone::HelloFault::badSignature));
    EXPECT_FALSE(phone->hasSession());
    ASSERT_TRUE(pair(d, *phone));

    const std::string text(900, 'r');
    ASSERT_TRUE(phone->sendClipboardText(text, Route::gatt, {phone::SendFaults::Chunks::reversed}));
    EXPECT_EQ(textOf(d.receiveChunks()), text);

    // Duplicated chunks complete a frame once; an unfinished stream never does.
    const std::string doubled(900, 'd');
    ASSERT_TRUE(
        phone->sendClipboardText(doubled, Route::gatt, {phone::SendFaults::Chunks::duplicated}));
    ASSERT_TRUE(phone->sendClipboardText(std::string(900, 'h'), Route::gatt,
                                         {phone::SendFaults::Chunks::stopHalfWay}));
    ASSERT_TRUE(phone->sendClipboardText("after", Route::gatt));
    EXPECT_EQ(textOf(d.receiveChunks()), doubled);
    EXPECT_EQ(textOf(d.receiveChunks()), "after");

    // A frame sealed with a used counter is refused: a repeated one-chunk frame,
    // and a frame sealed again with the previous counter.
    auto expectStale = [&] {
        const auto e = caught<SorvaneCryptoError>([&] { d.receiveChunks(); });
        ASSERT_TRUE(e) << "a stale counter was accepted";
        EXPECT_EQ(e->which(), SorvaneCryptoError::Case::staleCounter);
    };
    ASSERT_TRUE(
        phone->sendClipboardText("twice", Route::gatt, {phone::SendFaults::Chunks::duplicated}));
    EXPECT_EQ(textOf(d.receiveChunks()), "twice");
    expectStale();
    ASSERT_TRUE(phone->sendClipboardText("replayed", Route::gatt, {.staleCounter = true}));
    expectStale();

    // An absurd L2CAP length makes the desktop drop the channel.
    ASSERT_TRUE(phone->openL2CAP());
    ASSERT_TRUE(d.idle());
    ASSERT_TRUE(phone->sendL2CAPPrefix(0xffffffff, Bytes{1, 2, 3}));
    ASSERT_TRUE(d.log.waitFor("Sorvane L2CAP: frame length 4294967295 exceeds the limit"));
    ASSERT_TRUE(d.log.waitFor("phone: L2CAP channel closed by the desktop"));
    EXPECT_FALSE(phone->l2capOpen());
    EXPECT_FALSE(phone->sendClipboardText("too late", Route::l2cap));
}
