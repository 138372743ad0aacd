// The PairingHello parser on arbitrary writes to the pairing characteristic. It
// may refuse input only with SorvaneCryptoError or the crypto library's error;
// anything else escaping is a crash. A parsed hello must hold exactly the bytes
// it was read from and a strong identity key.
#include "FuzzSupport.h"

#include "protocol/PairingHandshake.h"
#include "protocol/SorvaneCryptoError.h"

#include <algorithm>

namespace {

using namespace sorvane;

template <class Field> bool sameBytes(const Field& field, ByteView input, size_t offset) {
    return std::equal(field.begin(), field.end(), input.begin() + static_cast<std::ptrdiff_t>(offset));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ByteView input(data, size);
    try {
        const PairingHelloParsed hello = parsePairingHello(input);
        FUZZ_CHECK(input.size() >= kPairingHelloSize);
        FUZZ_CHECK(sameBytes(hello.deviceID, input, 7));
        FUZZ_CHECK(sameBytes(hello.identityPubEd25519.raw(), input, 23));
        FUZZ_CHECK(sameBytes(hello.ephemeralPubX25519.raw(), input, 55));
        FUZZ_CHECK(sameBytes(hello.nonce, input, 87));
        FUZZ_CHECK(hello.signedBody.size() == kPairingHelloSignedSize);
        FUZZ_CHECK(sameBytes(hello.signedBody, input, 0));
        FUZZ_CHECK(sameBytes(hello.signature, input, 103));
        FUZZ_CHECK(crypto::isStrongEd25519PublicKey(hello.identityPubEd25519.raw()));
        // The caller verifies next; that must not throw either.
        (void)hello.identityPubEd25519.verify(hello.signedBody, hello.signature);
    } catch (const SorvaneCryptoError& e) {
        if (e.which() == SorvaneCryptoError::Case::helloTooShort)
            FUZZ_CHECK(input.size() < kPairingHelloSize);
    } catch (const crypto::CryptoLibraryError&) {
    }
    return 0;
}
