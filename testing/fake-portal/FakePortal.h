// A stand-in for the desktop portal (org.freedesktop.portal.Desktop) on the
// session bus the test exports, serving GlobalShortcuts and RemoteDesktop the
// way xdg-desktop-portal does: each call returns the path of a Request object
// built from the caller's unique name and handle_token, and the result comes
// as that object's Response signal; sessions are objects with Close. What the
// desktop's dialogs would answer is set by the test; what it received is
// recorded for the test to check.
//
// Debian 12's xdg-desktop-portal 1.16 has no backend for either interface
// without a real desktop, hence this stand-in.
//
// Thread-safety: the bus handlers run on the stand-in's own event-loop thread;
// every public method may be called from any thread.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sorvane::testing {

class FakePortal {
public:
    struct Options {
        bool globalShortcuts = true;
        bool remoteDesktop = true;
        uint32_t remoteDesktopVersion = 2;
        // Sends each Response before the call's reply, as a portal whose
        // backend answers at once may: only a client that listened first
        // hears it.
        bool answerBeforeReturning = false;
    };

    // One BindShortcuts call as received.
    struct Binding {
        std::string session;
        std::string id;
        std::optional<std::string> description;
        std::optional<std::string> preferredTrigger;
    };
    // One SelectDevices call as received.
    struct DeviceSelection {
        std::optional<uint32_t> types;
        std::optional<uint32_t> persistMode;
        std::optional<std::string> restoreToken;
    };
    struct Keystroke {
        int32_t keysym;
        uint32_t state;
        bool operator==(const Keystroke&) const = default;
    };

    FakePortal(const std::string& busAddress, Options config);
    ~FakePortal();
    FakePortal(const FakePortal&) = delete;
    FakePortal& operator=(const FakePortal&) = delete;

    // The dialogs' answers: the Response code of BindShortcuts and of Start
    // (0 yes, 1 the user cancelled, 2 other), and the trigger the user chose
    // in the shortcut dialog (absent: the preferred one as it came).
    void setBindResponse(uint32_t code);
    void setStartResponse(uint32_t code);
    void setChosenTrigger(std::optional<std::string> trigger);

    // The desktop's own doings: the shortcut pressed (in the session that
    // bound it last, or in `session`), and its trigger changed in the
    // desktop's settings.
    void activate(const std::string& id, std::optional<std::string> session = std::nullopt);
    void changeTrigger(const std::string& id, const std::string& triggerDescription);
    // The desktop ends the remote desktop session (its Closed signal).
    void closeRemoteDesktop();

    // What was received so far.
    std::vector<Binding> bindings() const;
    std::vector<std::string> createdSessions() const;
    std::set<std::string> closedSessions() const;
    std::vector<DeviceSelection> deviceSelections() const;
    std::vector<std::string> issuedRestoreTokens() const;
    std::vector<Keystroke> keystrokes() const;

private:
    struct Session {
        std::string handle;
        std::unique_ptr<sdbus::IObject> object;
        bool started = false;
    };

    // The Request path for this call, from its sender and handle_token.
    static std::string requestPath(sdbus::MethodCall& call, const std::map<std::string, sdbus::Variant>& options);
    // Replies with `request` and sends its Response, in the configured order.
    void answer(sdbus::MethodCall& call, const std::string& request, uint32_t code,
                const std::map<std::string, sdbus::Variant>& results);
    void createSession(sdbus::MethodCall call);
    std::string sessionOf(const sdbus::ObjectPath& handle) const;

    const Options m_options;
    std::unique_ptr<sdbus::IConnection> m_connection;
    std::unique_ptr<sdbus::IObject> m_object;

    mutable std::mutex m_mutex;
    uint32_t m_bindResponse = 0;
    uint32_t m_startResponse = 0;
    std::optional<std::string> m_chosenTrigger;
    std::map<std::string, Session> m_sessions;
    std::string m_lastBoundSession;
    std::string m_remoteDesktopSession;
    std::vector<Binding> m_bindings;
    std::vector<std::string> m_created;
    std::set<std::string> m_closed;
    std::vector<DeviceSelection> m_selections;
    std::vector<std::string> m_restoreTokens;
    std::vector<Keystroke> m_keystrokes;
};

} // namespace sorvane::testing
