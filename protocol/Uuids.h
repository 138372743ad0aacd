// The GATT service and characteristic identifiers, as lower-case UUID text.
// "Tx" and "Rx" are named from the phone's side.
#pragma once

#include "base/Text.h" // asciiLowercase, asciiUppercase for UUID texts

#include <string>
#include <string_view>

namespace sorvane {

inline constexpr std::string_view serviceUUID = "6e70c001-b3a8-4f9e-9a3d-8c6b1c9d0e01";
inline constexpr std::string_view charDeviceInfo = "6e70c002-b3a8-4f9e-9a3d-8c6b1c9d0e01";
inline constexpr std::string_view charPairing = "6e70c003-b3a8-4f9e-9a3d-8c6b1c9d0e01";
inline constexpr std::string_view charClipboardTx = "6e70c004-b3a8-4f9e-9a3d-8c6b1c9d0e01";
inline constexpr std::string_view charClipboardRx = "6e70c005-b3a8-4f9e-9a3d-8c6b1c9d0e01";
inline constexpr std::string_view charControl = "6e70c006-b3a8-4f9e-9a3d-8c6b1c9d0e01";
inline constexpr std::string_view charL2capPsm = "6e70c007-b3a8-4f9e-9a3d-8c6b1c9d0e01";

// Control opcodes, one unencrypted byte on charControl.
inline constexpr unsigned char CONTROL_UNPAIR = 0x31;
inline constexpr unsigned char CONTROL_GOODBYE = 0x32;

// Case-insensitive comparison of UUID texts (platforms print them upper-case).
bool uuidEquals(std::string_view a, std::string_view b);

} // namespace sorvane
