#include "adapters/linux/portal/PortalResults.h"

#include "base/Log.h"

namespace sorvane::portalresults {

bool lacksInterface(const std::string& errorName) {
    return errorName == "org.freedesktop.DBus.Error.UnknownMethod" ||
           errorName == "org.freedesktop.DBus.Error.UnknownInterface" ||
           errorName == "org.freedesktop.DBus.Error.UnknownObject" ||
           errorName == "org.freedesktop.DBus.Error.UnknownProperty" ||
           errorName == "org.freedesktop.DBus.Error.ServiceUnknown" ||
           errorName == "org.freedesktop.DBus.Error.NameHasNoOwner";
}

std::optional<std::string> stringValue(const Options& results, const std::string& key) {
    const auto it = results.find(key);
    if (it == results.end())
        return std::nullopt;
    if (it->second.containsValueOfType<std::string>())
        return it->second.get<std::string>();
    if (it->second.containsValueOfType<sdbus::ObjectPath>())
        return std::string(it->second.get<sdbus::ObjectPath>());
    return std::nullopt;
}

std::optional<uint32_t> uint32Value(const Options& results, const std::string& key) {
    const auto it = results.find(key);
    if (it == results.end() || !it->second.containsValueOfType<uint32_t>())
        return std::nullopt;
    return it->second.get<uint32_t>();
}

std::optional<std::string> sessionHandle(const Options& results) {
    auto handle = stringValue(results, "session_handle");
    if (handle && (handle->empty() || handle->front() != '/'))
        return std::nullopt;
    return handle;
}

std::optional<ShortcutList> shortcutList(const Options& results) {
    const auto it = results.find("shortcuts");
    if (it == results.end() || !it->second.containsValueOfType<ShortcutList>())
        return std::nullopt;
    return it->second.get<ShortcutList>();
}

std::optional<std::string> triggerDescription(const ShortcutList& list, const std::string& id) {
    for (const auto& shortcut : list)
        if (shortcut.get<0>() == id)
            return stringValue(shortcut.get<1>(), "trigger_description");
    return std::nullopt;
}

bool readSessionAndId(sdbus::Message& msg, sdbus::ObjectPath& session, std::string& id) {
    try {
        msg >> session >> id;
        return true;
    } catch (const sdbus::Error& e) {
        logLine("Sorvane: a shortcut activation from the desktop portal could not be read (" + e.getMessage() +
                "); ignored");
        return false;
    }
}

bool readSessionAndShortcuts(sdbus::Message& msg, sdbus::ObjectPath& session, ShortcutList& list) {
    try {
        msg >> session >> list;
        return true;
    } catch (const sdbus::Error& e) {
        logLine("Sorvane: a shortcut change from the desktop portal could not be read (" + e.getMessage() +
                "); ignored");
        return false;
    }
}

} // namespace sorvane::portalresults
