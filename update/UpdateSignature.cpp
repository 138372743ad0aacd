#include "update/UpdateSignature.h"

#include "base/UniqueFd.h"
#include "protocol/CryptoPrimitives.h"
#include "update/UpdateRules.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sorvane::update {

std::string verifyFileSignature(const std::string& path, const std::string& signatureBase64,
                                const std::string& publicKeyBase64) {
    const auto key = decodeBase64(publicKeyBase64);
    if (!key || key->size() != 32 || !crypto::isStrongEd25519PublicKey(*key))
        return "the built-in update key is not a valid Ed25519 public key";
    if (signatureBase64.empty())
        return "the update has no signature";
    const auto signature = decodeBase64(signatureBase64);
    if (!signature || signature->size() != 64)
        return "the update's signature is malformed";

    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid())
        return "cannot open the download: " + std::string(std::strerror(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return "the download is not a regular file";
    // Ed25519 signs the message in one piece: the file is mapped, not read.
    const size_t size = static_cast<size_t>(st.st_size);
    const uint8_t empty = 0;
    void* mapped = nullptr;
    if (size > 0) {
        mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
        if (mapped == MAP_FAILED)
            return "cannot map the download: " + std::string(std::strerror(errno));
    }
    bool valid = false;
    std::string error;
    try {
        const auto publicKey = crypto::Ed25519PublicKey::fromRaw(*key);
        const ByteView message = size > 0 ? ByteView(static_cast<const uint8_t*>(mapped), size)
                                          : ByteView(&empty, 0);
        valid = publicKey.verify(message, *signature);
    } catch (const crypto::CryptoLibraryError& e) {
        error = std::string("the signature check failed: ") + e.what();
    }
    if (mapped)
        ::munmap(mapped, size);
    if (!error.empty())
        return error;
    return valid ? std::string() : "the update's signature does not match the built-in key";
}

} // namespace sorvane::update
