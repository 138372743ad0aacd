// The protocol layer's typed error. Its description (what()) is the text that
// lands in the log after a caller's prefix, so the wording is part of the
// interface.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace sorvane {

class SorvaneCryptoError : public std::runtime_error {
public:
    enum class Case {
        frameTooShort,
        staleCounter,
        helloTooShort,
        badVersion,
        unexpectedMessageType,
        counterExhausted,
        badMagic,
        weakIdentityKey,
    };

    static SorvaneCryptoError frameTooShort(size_t length);
    static SorvaneCryptoError staleCounter(uint32_t received, uint32_t floor);
    static SorvaneCryptoError helloTooShort(size_t length);
    static SorvaneCryptoError badVersion(uint16_t version);
    static SorvaneCryptoError unexpectedMessageType(uint8_t type);
    static SorvaneCryptoError counterExhausted();
    static SorvaneCryptoError badMagic();
    // A peer identity key that is small-order or not canonically encoded.
    static SorvaneCryptoError weakIdentityKey();

    Case which() const { return m_case; }

private:
    SorvaneCryptoError(Case c, const std::string& description)
        : std::runtime_error(description), m_case(c) {}
    Case m_case;
};

} // namespace sorvane
