#include "store/KeyStore.h"

#include "base/Log.h"
#include "store/AtomicFile.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>
#include <utility>

namespace sorvane {
namespace {

using nlohmann::json;

constexpr size_t kDeviceIDSize = 16;
// A record is about 250 bytes and a phone's name; the file holds one record.
constexpr size_t kPeersFileLimit = size_t{1} << 20;

// The files written into the store directory, whose interrupted writes' temporaries
// start-up removes: ours, the history's, and the file-backed secret store's key.
constexpr std::string_view kOwnFiles[] = {"device_id", "peers.json", "history.json",
                                          "org.sorvane.identity-ed25519.key"};

json encodePeer(const PeerRecord& peer) {
    json object = {
        {"device_id_hex", peer.deviceIDHex},
        {"identity_pubkey_ed25519_hex", peer.identityPubkeyEd25519Hex},
        {"paired_at_ms", peer.pairedAtMs},
        {"last_counter_received", peer.lastCounterReceived},
    };
    if (peer.phoneName)
        object["phone_name"] = *peer.phoneName;
    return object;
}

std::optional<std::string> stringMember(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

std::optional<uint64_t> unsignedMember(const json& object, const char* key, uint64_t max) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_number_unsigned())
        return std::nullopt;
    auto value = it->get<uint64_t>();
    if (value > max)
        return std::nullopt;
    return value;
}

std::optional<PeerRecord> decodePeer(const json& object) {
    if (!object.is_object())
        return std::nullopt;
    auto deviceID = stringMember(object, "device_id_hex");
    auto identity = stringMember(object, "identity_pubkey_ed25519_hex");
    auto pairedAt = unsignedMember(object, "paired_at_ms", std::numeric_limits<uint64_t>::max());
    auto counter =
        unsignedMember(object, "last_counter_received", std::numeric_limits<uint32_t>::max());
    if (!deviceID || !identity || !pairedAt || !counter)
        return std::nullopt;
    PeerRecord peer{*deviceID, *identity, *pairedAt, static_cast<uint32_t>(*counter), std::nullopt};
    auto name = object.find("phone_name");
    if (name != object.end() && !name->is_null()) {
        if (!name->is_string())
            return std::nullopt;
        peer.phoneName = name->get<std::string>();
    }
    return peer;
}

// The whole list, or nullopt when the text is not a JSON array of records.
std::optional<std::vector<PeerRecord>> decodePeers(std::string_view text) {
    json document = json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!document.is_array())
        return std::nullopt;
    std::vector<PeerRecord> peers;
    for (const auto& element : document) {
        auto peer = decodePeer(element);
        if (!peer)
            return std::nullopt;
        peers.push_back(std::move(*peer));
    }
    return peers;
}

} // namespace

KeyStoreError KeyStoreError::keyringWrite(int32_t status) {
    return KeyStoreError(Case::keyringWrite, status,
                         "keyring write failed: " + std::to_string(status));
}

KeyStoreError KeyStoreError::keyringRefused(const std::string& detail) {
    return KeyStoreError(Case::keyringRefused, 0, "the keyring refused the signing key: " + detail);
}

KeyStoreError KeyStoreError::corruptDeviceID() {
    return KeyStoreError(Case::corruptDeviceID, 0, "device_id file is corrupt");
}

std::filesystem::path KeyStore::defaultDirectory(const UserDirectories& directories) {
    return directories.applicationDataRoot() / "org.sorvane.app";
}

KeyStore::KeyStore(std::filesystem::path directory, std::unique_ptr<SecretStore> secrets)
    : m_directory(std::move(directory)), m_peersPath(m_directory / "peers.json"),
      m_deviceIDPath(m_directory / "device_id"),
      m_signingKeys(std::make_shared<SigningKeyStore>(std::move(secrets))) {
    store::createPrivateDirectories(m_directory);
    store::makeDirectoryPrivate(m_directory);
    // Start-up runs before anything writes here, so every temporary of ours
    // found is the remains of a crash. The directory may be a link to a shared
    // folder: other programs' files stay.
    store::removeStaleTemporaries(m_directory, kOwnFiles);
}

Identity KeyStore::loadOrCreateIdentity() {
    auto deviceID = loadOrCreateDeviceID();
    SigningKeyResult signing = m_signingKeys->resolve(true);
    if (!signing.key)
        throw KeyStoreError::keyringRefused(signing.refusal);
    return Identity{deviceID, std::move(*signing.key)};
}

std::array<uint8_t, 16> KeyStore::loadOrCreateDeviceID() {
    // Only the first 16 bytes count, so no more are read, however long the file.
    const store::ReadOptions head{.maxBytes = kDeviceIDSize, .headOnly = true};
    auto content = store::readFile(m_deviceIDPath, head);
    if (!content) {
        Bytes fresh = crypto::randomBytes(kDeviceIDSize);
        // Created atomically: a crash in a plain write could leave a short file
        // that every later start would reject as corrupt. If another process got
        // there first, its id wins and is read back below.
        if (store::createFileAtomically(m_deviceIDPath, asText(fresh))) {
            std::array<uint8_t, 16> id{};
            std::copy(fresh.begin(), fresh.end(), id.begin());
            return id;
        }
        content = store::readFile(m_deviceIDPath, head);
        if (!content)
            throw std::system_error(ENOENT, std::generic_category(),
                                    "device_id vanished while it was created");
    }
    if (content->size() < kDeviceIDSize)
        throw KeyStoreError::corruptDeviceID();
    std::array<uint8_t, 16> id{};
    std::copy_n(content->begin(), kDeviceIDSize, id.begin());
    return id;
}

std::vector<PeerRecord> KeyStore::loadPeers() const {
    return readPeers().value_or(std::vector<PeerRecord>{});
}

std::optional<std::vector<PeerRecord>> KeyStore::readPeers() const {
    // Read at every send while a phone is near: a broken file is worth one line
    // per distinct failure, not one per send.
    auto report = [this](std::string problem) {
        if (problem != m_peersProblem)
            logLine(problem);
        m_peersProblem = std::move(problem);
    };
    std::optional<std::string> content;
    try {
        content = store::readFile(m_peersPath, {.maxBytes = kPeersFileLimit});
    } catch (const std::exception& e) {
        report(std::string("Sorvane: cannot read peers.json, treating it as no peer: ") + e.what());
        m_keepPeersAside = true;
        return std::nullopt;
    }
    m_keepPeersAside = false;
    if (!content) {
        m_peersProblem.clear();
        return std::vector<PeerRecord>{};
    }
    std::optional<std::vector<PeerRecord>> peers;
    try {
        peers = decodePeers(*content);
    } catch (const std::exception&) { // no memory for the parsed document
    }
    if (!peers) {
        report("Sorvane: peers.json is not a list of peer records, treating it as no peer");
        m_keepPeersAside = true;
        return std::nullopt;
    }
    m_peersProblem.clear();
    return std::move(*peers);
}

void KeyStore::savePeers(const std::vector<PeerRecord>& peers) {
    json document = json::array();
    for (const auto& peer : peers)
        document.push_back(encodePeer(peer));
    std::string text = document.dump();
    if (m_keepPeersAside) {
        std::filesystem::path aside = m_peersPath;
        aside += ".unreadable";
        if (store::keepAside(m_peersPath))
            logLine("Sorvane: the peers.json that could not be loaded is kept as " +
                    aside.string());
        m_keepPeersAside = false;
    }
    m_peersCache.reset(); // whatever happens below, the next read goes to the file
    store::writeFileAtomically(m_peersPath, text);
    m_peersCache = peers;
}

const std::vector<PeerRecord>& KeyStore::peers() const {
    if (!m_peersCache)
        m_peersCache = loadPeers();
    return *m_peersCache;
}

void KeyStore::putPeer(const PeerRecord& record) {
    // The paired phone is the first record: replacing a record keeps its place,
    // so that re-pairing or renaming the phone never hands that role to another.
    auto peers = loadPeers();
    auto same = [&](const PeerRecord& p) {
        return p.identityPubkeyEd25519Hex == record.identityPubkeyEd25519Hex;
    };
    if (auto it = std::find_if(peers.begin(), peers.end(), same); it != peers.end()) {
        *it = record;
        peers.erase(std::remove_if(std::next(it), peers.end(), same), peers.end());
    } else {
        peers.push_back(record);
    }
    savePeers(peers);
}

void KeyStore::removeAllPeers() {
    // Read again next time: a removal that failed leaves the phone paired.
    m_peersCache.reset();
    store::removeFile(m_peersPath);
}

} // namespace sorvane
