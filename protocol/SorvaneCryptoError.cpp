#include "protocol/SorvaneCryptoError.h"

#include "base/Text.h"

namespace sorvane {

SorvaneCryptoError SorvaneCryptoError::frameTooShort(size_t length) {
    return {Case::frameTooShort, "Encrypted frame too short (" + std::to_string(length) + " bytes)"};
}
SorvaneCryptoError SorvaneCryptoError::staleCounter(uint32_t received, uint32_t floor) {
    return {Case::staleCounter,
            "Stale counter " + std::to_string(received) + " \u2264 floor " + std::to_string(floor)};
}
SorvaneCryptoError SorvaneCryptoError::helloTooShort(size_t length) {
    return {Case::helloTooShort, "PairingHello too short: " + std::to_string(length)};
}
SorvaneCryptoError SorvaneCryptoError::badVersion(uint16_t version) {
    return {Case::badVersion, "Protocol version " + std::to_string(version) + " (expected 1)"};
}
SorvaneCryptoError SorvaneCryptoError::unexpectedMessageType(uint8_t type) {
    return {Case::unexpectedMessageType, "Unexpected message type 0x" + hexByte(type)};
}
SorvaneCryptoError SorvaneCryptoError::counterExhausted() {
    return {Case::counterExhausted, "TX counter exhausted; re-handshake required"};
}
SorvaneCryptoError SorvaneCryptoError::badMagic() { return {Case::badMagic, "Bad magic bytes"}; }
SorvaneCryptoError SorvaneCryptoError::weakIdentityKey() {
    return {Case::weakIdentityKey, "Identity key is small-order or not canonically encoded"};
}

} // namespace sorvane
