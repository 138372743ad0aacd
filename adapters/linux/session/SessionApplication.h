// The running program on the session bus: the well-known name "org.sorvane.app"
// and the standard org.freedesktop.Application interface at /org/sorvane/app.
// Holding the name makes this the one running instance; the desktop and
// `sorvane --toggle-panel` (and the other commands) reach it through the
// interface's Activate, ActivateAction and Open methods.
//
// Thread-safety: claim() and the destructor belong to one thread (the main
// thread). The action handler runs on the bus's own thread, one call at a time;
// it should post to the main queue and return.
#pragma once

#include "adapters/linux/dbus/BusLoop.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sdbus {
class IConnection;
class IObject;
} // namespace sdbus

namespace sorvane {

class SessionApplication {
public:
    static constexpr const char* kBusName = "org.sorvane.app";
    static constexpr const char* kObjectPath = "/org/sorvane/app";
    static constexpr const char* kInterface = "org.freedesktop.Application";

    // The actions ActivateAction accepts.
    static const std::vector<std::string>& actions();
    // What Activate and Open hand to the handler.
    static constexpr const char* kActivate = "activate";

    using ActionHandler = std::function<void(const std::string& action)>;

    enum class Claim {
        owned,          // this process is the instance
        alreadyRunning, // another process holds the name
        noBus,          // no session bus answered; `error` says why
        failed,         // the bus refused the name or the object; `error` says why
    };
    struct ClaimResult {
        Claim outcome = Claim::failed;
        std::unique_ptr<SessionApplication> instance; // set when owned
        std::string error;
    };
    // Takes the name and serves the interface until destroyed. Never throws.
    static ClaimResult claim(ActionHandler onAction);

    // Releases the name and stops serving; no handler runs after it returns.
    ~SessionApplication();
    SessionApplication(const SessionApplication&) = delete;
    SessionApplication& operator=(const SessionApplication&) = delete;

private:
    SessionApplication(std::unique_ptr<sdbus::IConnection> connection, ActionHandler onAction);

    ActionHandler m_onAction;
    std::unique_ptr<sdbus::IConnection> m_connection;
    std::unique_ptr<sdbus::IObject> m_object;
    BusLoop m_loop;
};

// Asks the running instance to run `action` (one of actions(), or kActivate
// for Activate). Never throws.
enum class RemoteResult {
    done,       // the instance accepted it
    notRunning, // no instance holds the name
    failed,     // no session bus, or the call failed; `error` says why
};
RemoteResult sendToRunningInstance(const std::string& action, std::string* error);

} // namespace sorvane
