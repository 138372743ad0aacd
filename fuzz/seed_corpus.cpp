// Writes the committed seed corpus: fuzz_seed_corpus <dir> fills
// <dir>/<target>/ with a handful of well-formed and nearly well-formed inputs per
// fuzz target. Every key and nonce is fixed, so the output is the same on every
// run and only changes when a wire format does.
#include "FuzzSupport.h"

#include "ble/L2CAPFraming.h"

#include "protocol/ChunkFraming.h"
#include "protocol/CryptoPrimitives.h"
#include "protocol/MessageCodec.h"
#include "protocol/PairingHandshake.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

namespace {

using namespace sorvane;
namespace fs = std::filesystem;

void writeSeed(const fs::path& dir, const std::string& name, ByteView bytes) {
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(asText(bytes).data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + (dir / name).string());
}

// One record of the chunk-stream mode: clock advance, length, chunk.
void record(ByteWriter& w, uint8_t advance, ByteView chunk) {
    w.u8(advance).u8(static_cast<uint8_t>(chunk.size())).bytes(chunk);
}

void chunkSeeds(const fs::path& dir) {
    const Bytes message = encodeClipboardText("a clipboard text long enough for three chunks");
    const auto plain = chunkPayload(7, message, 20, 0x00);
    const auto sealed = chunkPayload(8, Bytes(40, 0xee), 200, kFlagEncrypted);
    {
        ByteWriter w;
        w.u8(0x00);
        for (const Bytes& c : plain)
            record(w, 1, c);
        record(w, 1, sealed[0]);
        writeSeed(dir, "stream_in_order", w.view());
    }
    {
        ByteWriter w;
        w.u8(0x00);
        record(w, 1, plain[2]);
        record(w, 1, plain[0]);
        record(w, 1, plain[0]); // duplicate
        Bytes otherTotal = plain[1];
        otherTotal[4] = 9; // total mismatch discards the frame
        record(w, 1, otherTotal);
        record(w, 1, plain[1]);
        writeSeed(dir, "stream_out_of_order_duplicate_mismatch", w.view());
    }
    {
        ByteWriter w;
        w.u8(0x01); // tight limits
        record(w, 0, plain[0]);
        record(w, 130, plain[1]); // 5.2 s later: the first chunk has expired
        record(w, 0, plain[2]);
        const uint8_t zeroTotal[] = {9, 0, 0, 0, 0, 0, 0};
        record(w, 0, zeroTotal);
        const uint8_t tooShort[] = {1, 0, 0, 0, 1};
        record(w, 0, tooShort);
        writeSeed(dir, "stream_expiry_and_malformed", w.view());
    }
    {
        const Bytes payload = toBytes(asBytes("round trip through chunking"));
        ByteWriter w;
        w.u8(0x04).u16LE(0x0102).u8(6).u8(0x01).u16LE(static_cast<uint16_t>(payload.size()));
        w.bytes(payload).u8(3).u8(0x81).u8(1).u8(0).u8(2);
        writeSeed(dir, "roundtrip_reordered", w.view());
    }
    {
        ByteWriter w;
        w.u8(0x04).u16LE(0xffff).u8(199).u8(0x00).u16LE(0);
        writeSeed(dir, "roundtrip_empty", w.view());
    }
}

void messageSeeds(const fs::path& dir) {
    writeSeed(dir, "clipboard_text", encodeClipboardText("abc"));
    Bytes trailing = encodeClipboardText("abc");
    trailing.push_back(0x00);
    writeSeed(dir, "clipboard_text_trailing", trailing);
    writeSeed(dir, "clipboard_text_utf8",
              encodeClipboardText("copied text \xc3\xa9 then ascii \xe2\x82\xac and \xf0\x9f\x93\x8b done"));
    writeSeed(dir, "phone_name", encodePhoneName("Pixel"));
    const uint8_t truncated[] = {0x01, 0x04, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63};
    writeSeed(dir, "clipboard_text_truncated", truncated);
    const uint8_t reserved10[] = {0x10, 0x01, 0x02, 0x03};
    writeSeed(dir, "reserved10", reserved10);
    const uint8_t reserved20[] = {0x20};
    writeSeed(dir, "reserved20", reserved20);
    const uint8_t unknown[] = {0x07, 0x55};
    writeSeed(dir, "unknown", unknown);
}

void frameSeeds(const fs::path& dir) {
    const auto aad = fuzz::inboundAAD();
    SessionKey tx(fuzz::kFrameKey, fuzz::kSenderNonceRandom);
    writeSeed(dir, "frame_counter0_text", tx.encryptFrame(aad, encodeClipboardText("hello")));
    writeSeed(dir, "frame_counter1_empty", tx.encryptFrame(aad, {}));
    tx.counterTx = 0x01020304;
    writeSeed(dir, "frame_high_counter", tx.encryptFrame(aad, Bytes(300, 0x41)));
    const Bytes shortFrame(27, 0x00);
    writeSeed(dir, "frame_too_short", shortFrame);
}

void helloSeeds(const fs::path& dir) {
    const auto identity = crypto::Ed25519PrivateKey::fromRaw(Bytes(32, 0x11));
    const auto ephemeral = crypto::X25519PrivateKey::fromRaw(Bytes(32, 0x22));
    const Bytes deviceID(16, 0x33);
    const Bytes nonce(16, 0x44);
    const Bytes hello = buildPairingHello(deviceID, identity, ephemeral.publicKey(), nonce);
    writeSeed(dir, "hello_valid", hello);

    Bytes tail = hello;
    tail.resize(200, 0xff);
    writeSeed(dir, "hello_with_tail", tail);
    writeSeed(dir, "hello_too_short", ByteView(hello).first(kPairingHelloSize - 1));

    Bytes badVersion = hello;
    badVersion[4] = 0x02;
    writeSeed(dir, "hello_version2", badVersion);
    Bytes ackType = hello;
    ackType[6] = 0x02;
    writeSeed(dir, "hello_type2", ackType);

    Bytes weak = hello;
    std::fill(weak.begin() + 23, weak.begin() + 55, 0x00);
    weak[23] = 0x01; // the identity point
    writeSeed(dir, "hello_weak_identity", weak);
}

} // namespace

// Reads of an L2CAP byte stream: [read length] [bytes], after the limit byte.
void l2capSeeds(const fs::path& dir) {
    auto packet = [](ByteView frame) { return *buildL2CAPPacket(frame); };
    const Bytes a = packet(Bytes{0x01, 0x02, 0x01, 'h', 'i'});
    const Bytes b = packet(Bytes{});
    const Bytes c = packet(Bytes(40, 0x5a));
    Bytes stream = a;
    stream.insert(stream.end(), b.begin(), b.end());
    stream.insert(stream.end(), c.begin(), c.end());
    {
        ByteWriter w;
        w.u8(0x00).u8(static_cast<uint8_t>(stream.size())).bytes(stream);
        writeSeed(dir, "three_frames_one_read", w.view());
    }
    {
        // Split inside a prefix and inside a body.
        ByteWriter w;
        w.u8(0x00);
        const ByteView all(stream);
        w.u8(2).bytes(all.first(2));
        w.u8(7).bytes(all.subspan(2, 7));
        w.u8(static_cast<uint8_t>(all.size() - 9)).bytes(all.subspan(9));
        writeSeed(dir, "split_prefix_and_body", w.view());
    }
    {
        // A small limit: the 40-byte frame is oversized and stops the stream.
        ByteWriter w;
        w.u8(16).u8(static_cast<uint8_t>(stream.size())).bytes(stream);
        writeSeed(dir, "oversized_under_small_limit", w.view());
    }
    {
        ByteWriter w;
        w.u8(0x00).u8(6).bytes(Bytes{0xff, 0xff, 0xff, 0xff, 0x00, 0x01});
        writeSeed(dir, "huge_announced_length", w.view());
    }
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: fuzz_seed_corpus <corpus dir>\n";
        return 2;
    }
    try {
        const fs::path root = argv[1];
        chunkSeeds(root / "fuzz_chunks");
        messageSeeds(root / "fuzz_decode_message");
        frameSeeds(root / "fuzz_decrypt_frame");
        helloSeeds(root / "fuzz_pairing_hello");
        l2capSeeds(root / "fuzz_l2cap_stream");
    } catch (const std::exception& e) {
        std::cerr << "fuzz_seed_corpus: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
