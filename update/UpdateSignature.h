// The Ed25519 check of a downloaded update: the signature of the whole file
// under the public key built into the program.
#pragma once

#include <string>

namespace sorvane::update {

// Empty when `signatureBase64` is a valid Ed25519 signature of the whole file
// at `path` under `publicKeyBase64` (the raw 32-byte key in base64); otherwise
// why not, fit for a log line.
std::string verifyFileSignature(const std::string& path, const std::string& signatureBase64,
                                const std::string& publicKeyBase64);

} // namespace sorvane::update
