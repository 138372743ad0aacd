#include "adapters/linux/secret/FileSecretStore.h"

#include "base/Log.h"
#include "store/AtomicFile.h"

#include <openssl/crypto.h>

#include <system_error>
#include <utility>

namespace sorvane {

FileSecretStore::FileSecretStore(std::filesystem::path directory)
    : m_directory(std::move(directory)) {}

std::filesystem::path FileSecretStore::pathFor(const SecretItemId& id) const {
    return m_directory / (id.service + "-" + id.account + ".key");
}

SecretLookup FileSecretStore::copy(const SecretItemId& id, bool /*mayPrompt*/) {
    SecretLookup result;
    try {
        // Keys are 32 bytes; anything much larger is not one of ours.
        auto content = store::readFile(pathFor(id), {.maxBytes = 4096});
        if (!content)
            return result;
        result.outcome = SecretLookup::Outcome::found;
        result.data.assign(content->begin(), content->end());
        OPENSSL_cleanse(content->data(), content->size());
    } catch (const store::RefusedFile& e) {
        logLine(std::string("Sorvane: not a key file, treating it as no key: ") + e.what());
    } catch (const std::exception& e) {
        result.outcome = SecretLookup::Outcome::refused;
        result.detail = std::string("cannot read the key file: ") + e.what();
    }
    return result;
}

void FileSecretStore::remove(const SecretItemId& id) {
    try {
        store::removeFile(pathFor(id));
    } catch (const std::system_error&) {
        // Ignored, as the interface promises; add() replaces the file anyway.
    }
}

int32_t FileSecretStore::add(const SecretItemId& id, ByteView data) {
    try {
        store::writeFileAtomically(pathFor(id), asText(data));
        return 0;
    } catch (const std::system_error& e) {
        logLine(std::string("Sorvane: cannot write the key file: ") + e.what());
        return e.code().value() != 0 ? e.code().value() : -1;
    }
}

} // namespace sorvane
