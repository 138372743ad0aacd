#include "adapters/linux/session/SessionApplication.h"

#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <chrono>
#include <map>

namespace sorvane {
namespace {

using PlatformData = std::map<std::string, sdbus::Variant>;

constexpr const char* kDbusName = "org.freedesktop.DBus";
constexpr const char* kDbusPath = "/org/freedesktop/DBus";
constexpr std::chrono::seconds kCallTimeout{5};

bool nameHasOwner(sdbus::IConnection& connection, const std::string& name) {
    auto proxy = sdbus::createProxy(connection, kDbusName, kDbusPath);
    bool owned = false;
    proxy->callMethod("NameHasOwner").onInterface(kDbusName).withArguments(name).storeResultsTo(owned);
    return owned;
}

} // namespace

const std::vector<std::string>& SessionApplication::actions() {
    static const std::vector<std::string> names = {"toggle-panel", "pair", "preferences", "about", "quit"};
    return names;
}

SessionApplication::ClaimResult SessionApplication::claim(ActionHandler onAction) {
    ClaimResult result;
    std::unique_ptr<sdbus::IConnection> connection;
    try {
        connection = sdbus::createSessionBusConnection();
    } catch (const sdbus::Error& e) {
        result.outcome = Claim::noBus;
        result.error = e.getMessage();
        return result;
    }
    try {
        connection->requestName(kBusName);
    } catch (const sdbus::Error& e) {
        result.error = e.getMessage();
        try {
            result.outcome = nameHasOwner(*connection, kBusName) ? Claim::alreadyRunning : Claim::failed;
        } catch (const sdbus::Error& again) {
            result.outcome = Claim::failed;
            result.error = again.getMessage();
        }
        return result;
    }
    try {
        result.instance.reset(new SessionApplication(std::move(connection), std::move(onAction)));
        result.outcome = Claim::owned;
    } catch (const sdbus::Error& e) {
        result.outcome = Claim::failed;
        result.error = e.getMessage();
    }
    return result;
}

SessionApplication::SessionApplication(std::unique_ptr<sdbus::IConnection> connection, ActionHandler onAction)
    : m_onAction(std::move(onAction)), m_connection(std::move(connection)) {
    m_object = sdbus::createObject(*m_connection, kObjectPath);
    m_object->registerMethod("Activate")
        .onInterface(kInterface)
        .withInputParamNames("platform_data")
        .implementedAs([this](const PlatformData&) { m_onAction(kActivate); });
    m_object->registerMethod("Open")
        .onInterface(kInterface)
        .withInputParamNames("uris", "platform_data")
        .implementedAs([this](const std::vector<std::string>&, const PlatformData&) {
            // There is nothing to open; bring the program forward instead.
            m_onAction(kActivate);
        });
    m_object->registerMethod("ActivateAction")
        .onInterface(kInterface)
        .withInputParamNames("action_name", "parameter", "platform_data")
        .implementedAs([this](const std::string& name, const std::vector<sdbus::Variant>&, const PlatformData&) {
            const auto& known = actions();
            if (std::find(known.begin(), known.end(), name) == known.end())
                throw sdbus::Error("org.freedesktop.DBus.Error.InvalidArgs", "unknown action: " + name);
            m_onAction(name);
        });
    m_object->finishRegistration();
    m_loop.start(*m_connection, "the session bus (org.sorvane.app)");
}

SessionApplication::~SessionApplication() {
    // The event loop thread is the only one that runs handlers: once it has
    // left, none runs again.
    m_loop.stop();
    m_object.reset();
    try {
        m_connection->releaseName(kBusName);
    } catch (const sdbus::Error&) {
        // The connection is closed next anyway, which releases the name too.
    }
}

RemoteResult sendToRunningInstance(const std::string& action, std::string* error) {
    try {
        auto connection = sdbus::createSessionBusConnection();
        if (!nameHasOwner(*connection, SessionApplication::kBusName))
            return RemoteResult::notRunning;
        auto proxy = sdbus::createProxy(*connection, SessionApplication::kBusName, SessionApplication::kObjectPath);
        if (action == SessionApplication::kActivate) {
            proxy->callMethod("Activate")
                .onInterface(SessionApplication::kInterface)
                .withTimeout(kCallTimeout)
                .withArguments(PlatformData{});
        } else {
            proxy->callMethod("ActivateAction")
                .onInterface(SessionApplication::kInterface)
                .withTimeout(kCallTimeout)
                .withArguments(action, std::vector<sdbus::Variant>{}, PlatformData{});
        }
        return RemoteResult::done;
    } catch (const sdbus::Error& e) {
        if (e.getName() == "org.freedesktop.DBus.Error.ServiceUnknown" ||
            e.getName() == "org.freedesktop.DBus.Error.NameHasNoOwner")
            return RemoteResult::notRunning;
        if (error)
            *error = e.getMessage().empty() ? e.getName() : e.getMessage();
        return RemoteResult::failed;
    }
}

} // namespace sorvane
