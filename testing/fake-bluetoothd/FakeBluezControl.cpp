#include "testing/fake-bluetoothd/FakeBluezControl.h"

#include "base/Log.h"
#include "base/Hex.h"
#include "protocol/PairingHandshake.h"

#include <sdbus-c++/sdbus-c++.h>

#include <cctype>
#include <fstream>
#include <sstream>

namespace sorvane::fakebluez {
namespace {

constexpr const char* kErrorNoPhone = "org.sorvane.FakeBluez.Error.NoPhone";
constexpr const char* kErrorFailed = "org.sorvane.FakeBluez.Error.Failed";

std::optional<Bytes> strictHex(const std::string& text, size_t bytes) {
    if (text.size() != bytes * 2)
        return std::nullopt;
    for (const char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
    return Hex::decode(text);
}

std::optional<phone::Route> routeNamed(const std::string& name) {
    if (name == "gatt")
        return phone::Route::gatt;
    if (name == "l2cap")
        return phone::Route::l2cap;
    return std::nullopt;
}

phone::Route requireRoute(const std::string& name) {
    const auto route = routeNamed(name);
    if (!route)
        throw sdbus::Error(kErrorFailed, "route must be \"gatt\" or \"l2cap\", not \"" + name + "\"");
    return *route;
}

// Runs `body` on the worker and answers with what it returns; an exception
// becomes an error reply.
template <typename... Results, typename Body>
void later(SerialQueue& worker, sdbus::Result<Results...>&& result, Body body) {
    auto reply = std::make_shared<sdbus::Result<Results...>>(std::move(result));
    worker.async([reply, body = std::move(body)]() mutable {
        try {
            if constexpr (sizeof...(Results) == 0) {
                body();
                reply->returnResults();
            } else if constexpr (sizeof...(Results) == 1) {
                reply->returnResults(body());
            } else {
                std::apply([&](const auto&... values) { reply->returnResults(values...); }, body());
            }
        } catch (const sdbus::Error& e) {
            reply->returnError(e);
        } catch (const std::exception& e) {
            reply->returnError(sdbus::Error(kErrorFailed, e.what()));
        }
    });
}

} // namespace

std::optional<PhoneIdentity> loadPhoneIdentity(const std::filesystem::path& path) {
    std::ifstream in(path);
    if (!in) {
        logLine("fake-bluetoothd: cannot read the phone identity " + path.string());
        return std::nullopt;
    }
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    const auto seed = words.empty() ? std::nullopt : strictHex(words[0], 32);
    const auto deviceID = words.size() == 2 ? strictHex(words[1], 16) : std::nullopt;
    if (!seed || words.size() > 2 || (words.size() == 2 && !deviceID)) {
        logLine("fake-bluetoothd: " + path.string() +
                " is not a phone identity (64 hex digits of seed, then optionally 32 of device id)");
        return std::nullopt;
    }
    try {
        PhoneIdentity identity{crypto::Ed25519PrivateKey::fromRaw(*seed), {}};
        if (deviceID) {
            identity.deviceID = *deviceID;
        } else {
            const auto digest = crypto::sha256(*seed);
            identity.deviceID.assign(digest.begin(), digest.begin() + 16);
        }
        return identity;
    } catch (const std::exception& e) {
        logLine(std::string("fake-bluetoothd: unusable phone identity: ") + e.what());
        return std::nullopt;
    }
}

FakeBluezControl::FakeBluezControl(FakeBluez& bluez, Options options)
    : m_bluez(bluez), m_busAddress(std::move(options.busAddress)),
      m_identity(std::move(options.identity)), m_desktopQR(std::move(options.desktopQR)) {
    m_connection = sdbus::createSessionBusConnectionWithAddress(m_busAddress);
    m_object = sdbus::createObject(*m_connection, kControlPath);
    exportMethods();
    m_object->finishRegistration();
    m_connection->enterEventLoopAsync();
    m_connection->requestName(kControlService);
}

FakeBluezControl::~FakeBluezControl() {
    if (m_connection)
        m_connection->leaveEventLoop();
    // Calls already queued still run and answer on the open connection.
    m_worker.stop();
    m_phone.reset();
    m_link.reset();
    m_object.reset();
    m_connection.reset();
}

const PhoneIdentity& FakeBluezControl::identity() {
    if (!m_identity)
        m_identity = PhoneIdentity{crypto::Ed25519PrivateKey::generate(), crypto::randomBytes(16)};
    return *m_identity;
}

phone::PhoneCentral& FakeBluezControl::phone() {
    if (!m_phone)
        throw sdbus::Error(kErrorNoPhone, "no phone is connected (ConnectPhone first)");
    return *m_phone;
}

void FakeBluezControl::exportMethods() {
    sdbus::IObject& o = *m_object;
    const char* iface = kControlInterface;
    SerialQueue& w = m_worker;

    // ---- bluetoothd
    o.registerMethod("SetPowered").onInterface(iface).implementedAs([this, &w](sdbus::Result<>&& r, bool on) {
        later(w, std::move(r), [this, on] { m_bluez.setPowered(on); });
    });
    o.registerMethod("Restart").onInterface(iface).implementedAs([this, &w](sdbus::Result<>&& r) {
        later(w, std::move(r), [this] {
            // The old daemon's links die with it.
            m_phone.reset();
            m_link.reset();
            m_bluez.restart();
        });
    });
    o.registerMethod("RemoveAdapter").onInterface(iface).implementedAs([this, &w](sdbus::Result<>&& r) {
        later(w, std::move(r), [this] {
            m_phone.reset();
            m_link.reset();
            m_bluez.removeAdapter();
        });
    });
    o.registerMethod("AddAdapter").onInterface(iface).implementedAs([this, &w](sdbus::Result<>&& r) {
        later(w, std::move(r), [this] { m_bluez.addAdapter(); });
    });
    o.registerMethod("WaitForApplication")
        .onInterface(iface)
        .implementedAs([this, &w](sdbus::Result<bool>&& r, uint32_t count, uint32_t timeoutMs) {
            later(w, std::move(r), [this, count, timeoutMs] {
                return m_bluez.waitForApplications(count, std::chrono::milliseconds(timeoutMs));
            });
        });
    o.registerMethod("WaitForAdvertisement")
        .onInterface(iface)
        .implementedAs([this, &w](sdbus::Result<bool>&& r, uint32_t count, uint32_t timeoutMs) {
            later(w, std::move(r), [this, count, timeoutMs] {
                return m_bluez.waitForAdvertisements(count, std::chrono::milliseconds(timeoutMs));
            });
        });
    using CharacteristicEntry = sdbus::Struct<std::string, std::vector<std::string>>;
    o.registerMethod("GetApplication")
        .onInterface(iface)
        .implementedAs([this, &w](sdbus::Result<bool, std::string, std::vector<CharacteristicEntry>>&& r) {
            later(w, std::move(r), [this] {
                std::vector<CharacteristicEntry> characteristics;
                const auto app = m_bluez.application();
                if (app)
                    for (const auto& c : app->characteristics)
                        characteristics.emplace_back(c.uuid, c.flags);
                return std::make_tuple(app.has_value(), app ? app->serviceUUID : std::string(),
                                       characteristics);
            });
        });
    o.registerMethod("GetAdvertisement")
        .onInterface(iface)
        .implementedAs([this, &w](sdbus::Result<bool, std::string, std::vector<std::string>, std::string>&& r) {
            later(w, std::move(r), [this] {
                const auto ad = m_bluez.advertisement().value_or(FakeBluez::Advertisement{});
                return std::make_tuple(m_bluez.advertisement().has_value(), ad.type, ad.serviceUUIDs,
                                       ad.localName);
            });
        });

    // ---- The phone
    o.registerMethod("LoadPhoneIdentity")
        .onInterface(iface)
        .implementedAs([this, &w](sdbus::Result<bool>&& r, std::string path) {
            later(w, std::move(r), [this, path] {
                auto loaded = loadPhoneIdentity(path);
                if (!loaded)
                    return false;
                m_identity = std::move(loaded);
                return true;
            });
        });
    o.registerMethod("PhoneIdentity")
        .onInterface(iface)
        .implementedAs([this, &w](sdbus::Result<std::string, std::string>&& r) {
            later(w, std::move(r), [this] {
                const PhoneIdentity& id = identity();
                return std::make_tuple(Hex::encode(id.key.publicKey().raw()), Hex::encode(id.deviceID));
            });
        });
    o.registerMethod("LearnDesktop").onInterface(iface).implementedAs([this, &w](sdbus::Result<bool>&& r, std::string qr) {
        later(w, std::move(r), [this, qr] {
            if (!parseQRPayload(qr))
                return false;
            m_desktopQR = qr;
            return m_phone ? m_phone->learnDesktop(qr) : true;
        });
    });
    o.registerMethod("ConnectPhone")
        .onInterface(iface)
        .implementedAs([this, &w](sdbus::Result<std::string>&& r, uint16_t mtu) {
            later(w, std::move(r), [this, mtu] {
                m_phone.reset();
                m_link.reset();
                m_link = m_bluez.connectDevice(mtu == 0 ? 517 : mtu);
                if (!m_link)
                    throw sdbus::Error(kErrorFailed, "the adapter is off or gone");
                const PhoneIdentity& id = identity();
                m_phone = std::make_unique<phone::PhoneCentral>(*m_link, id.key, id.deviceID);
                if (!m_desktopQR.empty())
                    m_phone->learnDesktop(m_desktopQR);
                return m_link->devicePath();
            });
        });
    o.registerMethod("DisconnectPhone").onInterface(iface).implementedAs([this, &w](sdbus::Result<>&& r) {
        later(w, std::move(r), [this] {
            m_phone.reset();
            if (m_link)
                m_link->disconnect();
            m_link.reset();
        });
    });
    o.registerMethod("ReadDeviceInfo")
        .onInterface(iface)
        .implementedAs([this, &w](sdbus::Result<bool, std::string, std::string, std::string>&& r) {
            later(w, std::move(r), [this] {
                const auto info = phone().readDeviceInfo();
                if (!info)
                    return std::make_tuple(false, std::string(), std::string(), std::string());
                return std::make_tuple(true, Hex::encode(info->identityPublicKey),
                                       Hex::encode(info->deviceID), info->displayName);
            });
        });
    o.registerMethod("ReadPSM").onInterface(iface).implementedAs([this, &w](sdbus::Result<int32_t>&& r) {
        later(w, std::move(r), [this] {
            const auto psm = phone().readPSM();
            return psm ? static_cast<int32_t>(*psm) : int32_t{-1};
        });
    });
    o.registerMethod("Subscribe").onInterface(iface).implementedAs([this, &w](sdbus::Result<bool>&& r) {
        later(w, std::move(r), [this] { return phone().subscribe(); });
    });
    o.registerMethod("Pair").onInterface(iface).implementedAs([this, &w](sdbus::Result<bool>&& r) {
        later(w, std::move(r), [this] { return phone().pair(); });
    });
    o.registerMethod("OpenL2CAP").onInterface(iface).implementedAs([this, &w](sdbus::Result<bool>&& r) {
        later(w, std::move(r), [this] { return phone().openL2CAP(); });
    });
    o.registerMethod("SendText")
        .onInterface(iface)
        .implementedAs([this, &w](sdbus::Result<bool>&& r, std::string text, std::string route) {
            later(w, std::move(r), [this, text, route] {
                return phone().sendClipboardText(text, requireRoute(route));
            });
        });
    o.registerMethod("SendPhoneName")
        .onInterface(iface)
        .implementedAs([this, &w](sdbus::Result<bool>&& r, std::string name, std::string route) {
            later(w, std::move(r), [this, name, route] {
                return phone().sendPhoneName(name, requireRoute(route));
            });
        });
    o.registerMethod("SendControl").onInterface(iface).implementedAs([this, &w](sdbus::Result<bool>&& r, uint8_t opcode) {
        later(w, std::move(r), [this, opcode] { return phone().sendControl(opcode); });
    });
    o.registerMethod("NextMessage")
        .onInterface(iface)
        .implementedAs([this, &w](sdbus::Result<bool, std::string, std::string, bool, std::string>&& r,
                                  uint32_t timeoutMs) {
            later(w, std::move(r), [this, timeoutMs] {
                const auto message = phone().nextMessage(std::chrono::milliseconds(timeoutMs));
                if (!message)
                    return std::make_tuple(false, std::string(), std::string(), false, std::string());
                std::string kind = "other";
                std::string text;
                if (const auto* t = std::get_if<SorvaneMessage::ClipboardText>(&message->message.value)) {
                    kind = "clipboardText";
                    text = t->text;
                } else if (const auto* n = std::get_if<SorvaneMessage::PhoneName>(&message->message.value)) {
                    kind = "phoneName";
                    text = n->name;
                }
                return std::make_tuple(true, kind, text, message->encrypted,
                                       std::string(message->route == phone::Route::l2cap ? "l2cap" : "gatt"));
            });
        });
    o.registerMethod("NextControl").onInterface(iface).implementedAs([this, &w](sdbus::Result<int32_t>&& r, uint32_t timeoutMs) {
        later(w, std::move(r), [this, timeoutMs] {
            const auto opcode = phone().nextControl(std::chrono::milliseconds(timeoutMs));
            return opcode ? static_cast<int32_t>(*opcode) : int32_t{-1};
        });
    });
}

} // namespace sorvane::fakebluez
