#include "protocol/MessageCodec.h"

#include "base/Utf8.h"

#include <bit>
#include <cstring>

namespace sorvane {
namespace {

constexpr uint8_t kTypeClipboardText = 0x01;
constexpr uint8_t kTypePhoneName = 0x02;
constexpr uint8_t kTypeReserved10 = 0x10;
constexpr uint8_t kTypeReserved20 = 0x20;

Bytes encodeText(uint8_t type, std::string_view text) {
    ByteWriter w(5 + text.size());
    w.u8(type).u32LE(static_cast<uint32_t>(text.size())).bytes(asBytes(text));
    return w.take();
}

} // namespace

std::optional<SorvaneMessage> decodeMessage(ByteView data) {
    ByteReader r(data);
    auto type = r.readU8();
    if (!type)
        return std::nullopt;
    switch (*type) {
    case kTypeClipboardText:
    case kTypePhoneName: {
        auto length = r.readU32LE();
        if (!length)
            return std::nullopt;
        auto body = r.readBytes(*length);
        if (!body || !isValidUtf8(*body))
            return std::nullopt;
        std::string text(asText(*body));
        if (*type == kTypeClipboardText)
            return SorvaneMessage{SorvaneMessage::ClipboardText{std::move(text)}};
        return SorvaneMessage{SorvaneMessage::PhoneName{std::move(text)}};
    }
    case kTypeReserved10: {
        auto b = r.readBytes(3);
        if (!b)
            return std::nullopt;
        return SorvaneMessage{SorvaneMessage::Reserved10{(*b)[0], (*b)[1], (*b)[2]}};
    }
    case kTypeReserved20:
        return SorvaneMessage{SorvaneMessage::Reserved20{}};
    default:
        return SorvaneMessage{SorvaneMessage::Unknown{*type}};
    }
}

Bytes encodeClipboardText(std::string_view text) { return encodeText(kTypeClipboardText, text); }
Bytes encodePhoneName(std::string_view name) { return encodeText(kTypePhoneName, name); }

Bytes buildDeviceInfo(ByteView identityPublicKey, ByteView deviceID, std::string_view displayName) {
    if (displayName.empty())
        displayName = kFallbackDisplayName;
    ByteWriter w(128);
    w.bytes(identityPublicKey).u16LE(1).bytes(deviceID).u8(1).bytes(asBytes(displayName));
    return w.take();
}

std::optional<DeviceInfo> parseDeviceInfo(ByteView record) {
    ByteReader r(record);
    auto key = r.readBytes(32);
    auto version = r.readU16LE();
    auto deviceID = r.readBytes(16);
    auto marker = r.readU8();
    if (!key || !version || !deviceID || !marker || *version != 1 || *marker != 1)
        return std::nullopt;
    return DeviceInfo{toBytes(*key), toBytes(*deviceID), std::string(asText(r.rest()))};
}

} // namespace sorvane
