#include "protocol/MessageCodec.h"

#include <gtest/gtest.h>

namespace sorvane {
namespace {

std::optional<SorvaneMessage> decode(std::initializer_list<uint8_t> bytes) {
    return decodeMessage(Bytes(bytes));
}

TEST(MessageCodec, EncodesAndDecodesTextMessages) {
    // The length is the UTF-8 byte count.
    EXPECT_EQ(encodeClipboardText(""), (Bytes{0x01, 0, 0, 0, 0}));
    EXPECT_EQ(encodeClipboardText("\u00e9"), (Bytes{0x01, 0x02, 0, 0, 0, 0xC3, 0xA9}));
    EXPECT_EQ(encodePhoneName("ab"), (Bytes{0x02, 0x02, 0, 0, 0, 'a', 'b'}));

    const SorvaneMessage abc{SorvaneMessage::ClipboardText{"abc"}};
    EXPECT_EQ(decode({0x01, 3, 0, 0, 0, 'a', 'b', 'c'}), abc);
    EXPECT_EQ(decode({0x01, 3, 0, 0, 0, 'a', 'b', 'c', 'd'}), abc); // trailing byte ignored
    EXPECT_FALSE(decode({0x01, 4, 0, 0, 0, 'a', 'b', 'c'}));        // declared length too long
    EXPECT_FALSE(decode({0x01, 3, 0, 0}));                           // length field cut short
    EXPECT_FALSE(decode({0x01}));
    EXPECT_EQ(decode({0x02, 0, 0, 0, 0}), (SorvaneMessage{SorvaneMessage::PhoneName{""}}));
    // A length near 2^32 must be refused without reading out of bounds.
    EXPECT_FALSE(decode({0x01, 0xff, 0xff, 0xff, 0xff, 'a'}));

    const std::string text = "multi\nline \u2603 \U0001F4CB";
    EXPECT_EQ(decodeMessage(encodeClipboardText(text)),
              (SorvaneMessage{SorvaneMessage::ClipboardText{text}}));
}

TEST(MessageCodec, RejectsInvalidUtf8) {
    EXPECT_FALSE(decode({0x01, 1, 0, 0, 0, 0xff}));
    EXPECT_FALSE(decode({0x01, 2, 0, 0, 0, 0xC0, 0xAF}));             // overlong '/'
    EXPECT_FALSE(decode({0x01, 3, 0, 0, 0, 0xED, 0xA0, 0x80}));       // UTF-16 surrogate
    EXPECT_FALSE(decode({0x01, 4, 0, 0, 0, 0xF4, 0x90, 0x80, 0x80})); // past U+10FFFF
    EXPECT_FALSE(decode({0x02, 2, 0, 0, 0, 0xC3, 'a'}));              // broken continuation
    EXPECT_FALSE(decode({0x01, 1, 0, 0, 0, 0xC3}));                   // truncated sequence
    EXPECT_TRUE(decode({0x01, 1, 0, 0, 0, 0x00}));                    // NUL is valid UTF-8
}

TEST(MessageCodec, ReservedAndUnknownTypes) {
    EXPECT_FALSE(decode({}));
    EXPECT_FALSE(decode({0x10, 1, 2}));
    EXPECT_EQ(decode({0x10, 1, 2, 3}), (SorvaneMessage{SorvaneMessage::Reserved10{1, 2, 3}}));
    EXPECT_EQ(decode({0x20}), (SorvaneMessage{SorvaneMessage::Reserved20{}}));
    EXPECT_EQ(decode({0x20, 9, 9}), (SorvaneMessage{SorvaneMessage::Reserved20{}}));
    EXPECT_EQ(decode({0x07}), (SorvaneMessage{SorvaneMessage::Unknown{7}}));
}

TEST(DeviceInfo, LayoutAndFallbackName) {
    const Bytes pub(32, 0xAA), id(16, 0xBB);
    const Bytes record = buildDeviceInfo(pub, id, "");
    ASSERT_EQ(record.size(), 54u);
    EXPECT_EQ(Bytes(record.begin(), record.begin() + 32), pub);
    EXPECT_EQ(record[32], 0x01);
    EXPECT_EQ(record[33], 0x00);
    EXPECT_EQ(Bytes(record.begin() + 34, record.begin() + 50), id);
    EXPECT_EQ(record[50], 0x01);
    EXPECT_EQ(std::string(record.begin() + 51, record.end()), "Mac");

    const Bytes named = buildDeviceInfo(pub, id, "K\u00fcche-PC");
    auto parsedInfo = parseDeviceInfo(named);
    ASSERT_TRUE(parsedInfo);
    EXPECT_EQ(parsedInfo->displayName, "K\u00fcche-PC");
    EXPECT_EQ(parsedInfo->identityPublicKey, pub);
    EXPECT_EQ(parsedInfo->deviceID, id);
    EXPECT_FALSE(parseDeviceInfo(ByteView(named).first(50)));
}

} // namespace
} // namespace sorvane
