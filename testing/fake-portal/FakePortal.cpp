#include "testing/fake-portal/FakePortal.h"

namespace sorvane::testing {
namespace {

constexpr const char* kPath = "/org/freedesktop/portal/desktop";
constexpr const char* kRequest = "org.freedesktop.portal.Request";
constexpr const char* kSession = "org.freedesktop.portal.Session";
constexpr const char* kShortcuts = "org.freedesktop.portal.GlobalShortcuts";
constexpr const char* kRemoteDesktop = "org.freedesktop.portal.RemoteDesktop";

using Dict = std::map<std::string, sdbus::Variant>;
using ShortcutList = std::vector<sdbus::Struct<std::string, Dict>>;

std::optional<std::string> text(const Dict& dict, const std::string& key) {
    const auto it = dict.find(key);
    if (it == dict.end() || !it->second.containsValueOfType<std::string>())
        return std::nullopt;
    return it->second.get<std::string>();
}

std::optional<uint32_t> number(const Dict& dict, const std::string& key) {
    const auto it = dict.find(key);
    if (it == dict.end() || !it->second.containsValueOfType<uint32_t>())
        return std::nullopt;
    return it->second.get<uint32_t>();
}

// The caller's unique name as an object path element: ":1.42" -> "1_42".
std::string senderElement(sdbus::MethodCall& call) {
    std::string sender = call.getSender();
    if (!sender.empty() && sender.front() == ':')
        sender.erase(0, 1);
    for (char& c : sender)
        if (c == '.')
            c = '_';
    return sender;
}

} // namespace

FakePortal::FakePortal(const std::string& busAddress, Options config) : m_options(config) {
    m_connection = sdbus::createSessionBusConnectionWithAddress(busAddress);
    m_connection->requestName("org.freedesktop.portal.Desktop");
    m_object = sdbus::createObject(*m_connection, kPath);
    if (m_options.globalShortcuts) {
        m_object->registerProperty("version").onInterface(kShortcuts).withGetter([] { return uint32_t{1}; });
        m_object->registerMethod(kShortcuts, "CreateSession", "a{sv}", "o",
                                 [this](sdbus::MethodCall call) { createSession(std::move(call)); });
        m_object->registerMethod(kShortcuts, "BindShortcuts", "oa(sa{sv})sa{sv}", "o", [this](sdbus::MethodCall call) {
            sdbus::ObjectPath session;
            ShortcutList shortcuts;
            std::string parent;
            Dict options;
            call >> session >> shortcuts >> parent >> options;
            const std::string request = requestPath(call, options);
            ShortcutList bound;
            uint32_t code = 0;
            {
                std::lock_guard lock(m_mutex);
                if (sessionOf(session).empty())
                    throw sdbus::Error("org.freedesktop.portal.Error.InvalidArgument", "Invalid session");
                for (const auto& shortcut : shortcuts) {
                    const Dict& properties = shortcut.get<1>();
                    m_bindings.push_back({session, shortcut.get<0>(), text(properties, "description"),
                                          text(properties, "preferred_trigger")});
                    Dict result{{"description", sdbus::Variant(text(properties, "description").value_or(""))}};
                    const auto trigger = m_chosenTrigger ? m_chosenTrigger : text(properties, "preferred_trigger");
                    if (trigger)
                        result["trigger_description"] = sdbus::Variant(*trigger);
                    bound.push_back({shortcut.get<0>(), result});
                }
                code = m_bindResponse;
                if (code == 0)
                    m_lastBoundSession = session;
            }
            answer(call, request, code, code == 0 ? Dict{{"shortcuts", sdbus::Variant(bound)}} : Dict{});
        });
        m_object->registerSignal(kShortcuts, "Activated", "osta{sv}");
        m_object->registerSignal(kShortcuts, "ShortcutsChanged", "oa(sa{sv})");
    }
    if (m_options.remoteDesktop) {
        m_object->registerProperty("version").onInterface(kRemoteDesktop).withGetter([this] {
            return m_options.remoteDesktopVersion;
        });
        m_object->registerProperty("AvailableDeviceTypes").onInterface(kRemoteDesktop).withGetter([] {
            return uint32_t{7};
        });
        m_object->registerMethod(kRemoteDesktop, "CreateSession", "a{sv}", "o",
                                 [this](sdbus::MethodCall call) { createSession(std::move(call)); });
        m_object->registerMethod(kRemoteDesktop, "SelectDevices", "oa{sv}", "o", [this](sdbus::MethodCall call) {
            sdbus::ObjectPath session;
            Dict options;
            call >> session >> options;
            const std::string request = requestPath(call, options);
            {
                std::lock_guard lock(m_mutex);
                if (sessionOf(session).empty())
                    throw sdbus::Error("org.freedesktop.portal.Error.InvalidArgument", "Invalid session");
                m_selections.push_back(
                    {number(options, "types"), number(options, "persist_mode"), text(options, "restore_token")});
            }
            answer(call, request, 0, {});
        });
        m_object->registerMethod(kRemoteDesktop, "Start", "osa{sv}", "o", [this](sdbus::MethodCall call) {
            sdbus::ObjectPath session;
            std::string parent;
            Dict options;
            call >> session >> parent >> options;
            const std::string request = requestPath(call, options);
            uint32_t code = 0;
            Dict results;
            {
                std::lock_guard lock(m_mutex);
                if (sessionOf(session).empty() || m_selections.empty())
                    throw sdbus::Error("org.freedesktop.portal.Error.InvalidArgument", "Invalid session");
                code = m_startResponse;
                if (code == 0) {
                    m_sessions[session].started = true;
                    m_remoteDesktopSession = session;
                    const auto& selection = m_selections.back();
                    results["devices"] = sdbus::Variant(selection.types.value_or(7));
                    if (selection.persistMode.value_or(0) == 2) {
                        m_restoreTokens.push_back("restore-" + std::to_string(m_restoreTokens.size() + 1));
                        results["restore_token"] = sdbus::Variant(m_restoreTokens.back());
                    }
                }
            }
            answer(call, request, code, results);
        });
        m_object->registerMethod(kRemoteDesktop, "NotifyKeyboardKeysym", "oa{sv}iu", "",
                                 [this](sdbus::MethodCall call) {
                                     sdbus::ObjectPath session;
                                     Dict options;
                                     int32_t keysym = 0;
                                     uint32_t state = 0;
                                     call >> session >> options >> keysym >> state;
                                     {
                                         std::lock_guard lock(m_mutex);
                                         const auto it = m_sessions.find(session);
                                         if (it == m_sessions.end() || !it->second.started ||
                                             m_closed.count(session))
                                             throw sdbus::Error("org.freedesktop.portal.Error.NotAllowed",
                                                                "Session is not started");
                                         m_keystrokes.push_back({keysym, state});
                                     }
                                     call.createReply().send();
                                 });
    }
    m_object->finishRegistration();
    m_connection->enterEventLoopAsync();
}

FakePortal::~FakePortal() { m_connection->leaveEventLoop(); }

std::string FakePortal::requestPath(sdbus::MethodCall& call, const Dict& options) {
    const auto token = text(options, "handle_token");
    if (!token)
        throw sdbus::Error("org.freedesktop.portal.Error.InvalidArgument", "handle_token missing");
    return std::string(kPath) + "/request/" + senderElement(call) + "/" + *token;
}

void FakePortal::answer(sdbus::MethodCall& call, const std::string& request, uint32_t code, const Dict& results) {
    auto respond = [&] {
        auto object = sdbus::createObject(*m_connection, request);
        object->registerSignal(kRequest, "Response", "ua{sv}");
        object->finishRegistration();
        object->emitSignal("Response").onInterface(kRequest).withArguments(code, results);
    };
    if (m_options.answerBeforeReturning)
        respond();
    auto reply = call.createReply();
    reply << sdbus::ObjectPath(request);
    reply.send();
    if (!m_options.answerBeforeReturning)
        respond();
}

void FakePortal::createSession(sdbus::MethodCall call) {
    Dict options;
    call >> options;
    const std::string request = requestPath(call, options);
    const auto token = text(options, "session_handle_token");
    if (!token)
        throw sdbus::Error("org.freedesktop.portal.Error.InvalidArgument", "session_handle_token missing");
    const std::string handle = std::string(kPath) + "/session/" + senderElement(call) + "/" + *token;
    auto object = sdbus::createObject(*m_connection, handle);
    object->registerMethod(kSession, "Close", "", "", [this, handle](sdbus::MethodCall close) {
        {
            std::lock_guard lock(m_mutex);
            m_closed.insert(handle);
        }
        close.createReply().send();
    });
    object->registerSignal(kSession, "Closed", "a{sv}");
    object->finishRegistration();
    {
        std::lock_guard lock(m_mutex);
        m_sessions[handle] = {handle, std::move(object), false};
        m_created.push_back(handle);
    }
    // As xdg-desktop-portal sends it: the handle as a string.
    answer(call, request, 0, {{"session_handle", sdbus::Variant(handle)}});
}

std::string FakePortal::sessionOf(const sdbus::ObjectPath& handle) const {
    const auto it = m_sessions.find(handle);
    return it == m_sessions.end() || m_closed.count(handle) ? std::string() : it->first;
}

void FakePortal::setBindResponse(uint32_t code) {
    std::lock_guard lock(m_mutex);
    m_bindResponse = code;
}

void FakePortal::setStartResponse(uint32_t code) {
    std::lock_guard lock(m_mutex);
    m_startResponse = code;
}

void FakePortal::setChosenTrigger(std::optional<std::string> trigger) {
    std::lock_guard lock(m_mutex);
    m_chosenTrigger = std::move(trigger);
}

void FakePortal::activate(const std::string& id, std::optional<std::string> session) {
    std::string handle;
    {
        std::lock_guard lock(m_mutex);
        handle = session.value_or(m_lastBoundSession);
    }
    m_object->emitSignal("Activated")
        .onInterface(kShortcuts)
        .withArguments(sdbus::ObjectPath(handle), id, uint64_t{1234}, Dict{});
}

void FakePortal::changeTrigger(const std::string& id, const std::string& triggerDescription) {
    std::string handle;
    {
        std::lock_guard lock(m_mutex);
        handle = m_lastBoundSession;
    }
    ShortcutList list{{id, Dict{{"trigger_description", sdbus::Variant(triggerDescription)}}}};
    m_object->emitSignal("ShortcutsChanged").onInterface(kShortcuts).withArguments(sdbus::ObjectPath(handle), list);
}

void FakePortal::closeRemoteDesktop() {
    sdbus::IObject* object = nullptr;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_sessions.find(m_remoteDesktopSession);
        if (it == m_sessions.end())
            return;
        m_closed.insert(it->first);
        object = it->second.object.get();
    }
    object->emitSignal("Closed").onInterface(kSession).withArguments(Dict{});
}

std::vector<FakePortal::Binding> FakePortal::bindings() const {
    std::lock_guard lock(m_mutex);
    return m_bindings;
}

std::vector<std::string> FakePortal::createdSessions() const {
    std::lock_guard lock(m_mutex);
    return m_created;
}

std::set<std::string> FakePortal::closedSessions() const {
    std::lock_guard lock(m_mutex);
    return m_closed;
}

std::vector<FakePortal::DeviceSelection> FakePortal::deviceSelections() const {
    std::lock_guard lock(m_mutex);
    return m_selections;
}

std::vector<std::string> FakePortal::issuedRestoreTokens() const {
    std::lock_guard lock(m_mutex);
    return m_restoreTokens;
}

std::vector<FakePortal::Keystroke> FakePortal::keystrokes() const {
    std::lock_guard lock(m_mutex);
    return m_keystrokes;
}

} // namespace sorvane::testing
