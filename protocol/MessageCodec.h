// Application messages (the plaintext inside a frame) and the device-info record.
//
// Message: type byte, then a type-specific body, integers little-endian.
//   0x01 clipboard text  u32 length + UTF-8
//   0x02 phone name      u32 length + UTF-8
//   0x10 reserved        three bytes
//   0x20 reserved        no body
//   other                unknown, body ignored
// Bytes after a message's declared end are ignored. Pure functions; thread-safe.
#pragma once

#include "base/Bytes.h"

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace sorvane {

struct SorvaneMessage {
    struct ClipboardText {
        std::string text;
        bool operator==(const ClipboardText&) const = default;
    };
    struct PhoneName {
        std::string name;
        bool operator==(const PhoneName&) const = default;
    };
    struct Reserved10 {
        uint8_t b1 = 0, b2 = 0, b3 = 0;
        bool operator==(const Reserved10&) const = default;
    };
    struct Unknown {
        uint8_t type = 0;
        bool operator==(const Unknown&) const = default;
    };
    struct Reserved20 {
        bool operator==(const Reserved20&) const = default;
    };

    std::variant<ClipboardText, PhoneName, Reserved10, Unknown, Reserved20> value;

    bool operator==(const SorvaneMessage&) const = default;
};

// Absent for malformed input: empty, truncated, or text that is not valid UTF-8.
std::optional<SorvaneMessage> decodeMessage(ByteView data);

// 0x01 | UTF-8 length (u32 LE) | UTF-8 bytes. The text must be shorter than 4 GiB.
Bytes encodeClipboardText(std::string_view text);
// 0x02 | UTF-8 length (u32 LE) | UTF-8 bytes. Used by the phone side.
Bytes encodePhoneName(std::string_view name);

inline constexpr std::string_view kFallbackDisplayName = "Mac";

// The device-info record served on the device-info characteristic:
// identity public key (32) | 01 00 | device id (16) | 01 | display name (UTF-8).
// An empty display name is replaced by "Mac".
Bytes buildDeviceInfo(ByteView identityPublicKey, ByteView deviceID, std::string_view displayName);

struct DeviceInfo {
    Bytes identityPublicKey; // 32 bytes
    Bytes deviceID;          // 16 bytes
    std::string displayName;
};
// The phone's view of the record. Absent when shorter than 51 bytes or when the
// fixed fields do not hold their constants.
std::optional<DeviceInfo> parseDeviceInfo(ByteView record);

} // namespace sorvane
