// The services the application delegate uses beyond the transport and the
// stores: the application object, the main queue, and the user-facing
// components (tray icon, panel, pairing window, alerts, hot-key, installer,
// updater, clipboard watcher). Each is an interface so that the delegate runs
// the same with the real desktop components, with the headless ones, and in
// tests.
//
// Thread-safety: every method is called on the main thread, except where a
// comment says otherwise. Callbacks handed to these services are called on the
// main thread unless the service documents another thread.
#pragma once

#include "ports/MainQueue.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace sorvane {

// The application object.
class ApplicationControl {
public:
    virtual ~ApplicationControl() = default;
    // Ends the event loop; the shutdown sequence then runs once.
    virtual void requestTermination() = 0;
    // Lets the main thread handle events for `duration` (used during shutdown).
    virtual void spinRunLoop(std::chrono::milliseconds duration) = 0;
};

// The tray icon.
class StatusItem {
public:
    virtual ~StatusItem() = default;
    // Sets the application's own icon (windows, about box).
    virtual void setApplicationIcon() = 0;
    // Shows the icon. Without a tray on the desktop the program runs on without it.
    virtual void install() = 0;
    // Briefly highlights the icon to show traffic.
    virtual void animateIconPulse() = 0;
    // `onActivate` runs on each left click (activation) of the icon. An item
    // that cannot be clicked ignores it.
    virtual void setOnActivate(std::function<void()> /*onActivate*/) {}
    // Sets the resting symbol by its stored symbol name (the "tray_icon" value);
    // an unknown name shows the paperclip. An item without icons ignores it.
    virtual void setIconChoice(const std::string& /*symbolName*/) {}
};

// The window that shows the desktop's identity to a phone being paired: the
// QR code of `qrPayload` and the six-digit code of the current minute derived
// from `identityPub` (the raw Ed25519 identity key).
class PairingWindow {
public:
    virtual ~PairingWindow() = default;
    // Opens a new window, centred and in front. When one is already open it
    // only comes to the front and keeps what it shows.
    virtual void show(const std::string& qrPayload, const std::array<uint8_t, 32>& identityPub) = 0;
    // True while a window shown here is on screen (not after the user closed it).
    virtual bool isOpen() const = 0;
    // Closes and forgets the window (after a successful pairing). Harmless when
    // there is none.
    virtual void close() = 0;
};

// A destructive command's confirmation: a warning with the action button first
// and "Cancel" second.
struct ConfirmationRequest {
    std::string message;
    std::string informativeText;
    std::string actionButton;
};

class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    // "Bluetooth is turned off", with a way to the desktop's Bluetooth settings.
    virtual void showBluetoothOffAlert() = 0;
    // Runs the confirmation modally. Return presses "Cancel": only a click on
    // the action button gives true. Without a display, nothing can confirm.
    virtual bool confirm(const ConfirmationRequest& request) = 0;
    // A failure the user asked about: a warning with `title`, `text` and OK.
    // Runs modally; without a display it is logged.
    virtual void showError(const std::string& title, const std::string& text) = 0;
};

// What the desktop made of a registration it answers later (the desktop
// portal's global shortcuts), or of a change it made on its own afterwards.
struct HotKeyOutcome {
    enum class Result {
        registered, // the desktop binds the shortcut
        noService,  // the desktop has no global shortcut service
        refused,    // the user declined in the desktop's dialog
        failed,     // anything else
    };
    Result result = Result::failed;
    // The trigger in the desktop's own words ("Shift+Meta+V"), when it says one.
    std::optional<std::string> triggerDescription;
    // What went wrong, for the log; empty when registered.
    std::string detail;
};

// One system-wide key combination, given as the stored key code and modifier
// mask (the table in ui/HotKeyCombo.h maps them to the desktop's keys).
class HotKeyService {
public:
    virtual ~HotKeyService() = default;
    // True when registerHotKey() only sends the request: its 0 then means
    // "asked", and the answer comes later through the outcome callback.
    virtual bool answersLater() const { return false; }
    // What runs on the main thread with each later answer, and whenever the
    // desktop changes the trigger by itself. A service that answers at once
    // never calls it.
    virtual void setOnOutcome(std::function<void(const HotKeyOutcome&)> /*onOutcome*/) {}
    // What a press of the registered combination runs. The service posts it to
    // the main queue; it never runs inside the event dispatch.
    virtual void setOnPressed(std::function<void()> onPressed) = 0;
    // Grabs the combination for the whole desktop. 0 on success; otherwise a
    // non-zero status (the display server's error code, or -1 when the key has
    // no counterpart on this keyboard). Does not release an earlier grab.
    virtual int registerHotKey(uint32_t keyCode, uint32_t modifiers) = 0;
    // Releases the grab, if any.
    virtual void unregisterHotKey() = 0;
};

class Installer {
public:
    virtual ~Installer() = default;
    // True when the program moved itself and this process must do nothing more.
    virtual bool promptAndMoveIfNeeded() = 0;
    // Turns launch at login on unless the user opted out.
    virtual void enableLaunchAtLoginByDefault() = 0;
    // True when the program runs from a place that launch at login can name
    // (~/Applications/ or a system prefix).
    virtual bool isInstalledInApplications() const { return false; }
    // The truth of the desktop's autostart entry at this moment.
    virtual bool isLaunchAtLoginEnabled() const { return false; }
    // Registers (true) or unregisters (false) launch at login. Nothing on
    // success; otherwise what went wrong, for the log.
    virtual std::optional<std::string> setLaunchAtLogin(bool /*enabled*/) {
        return std::string("launch at login is not available in this build");
    }
};

class Updater {
public:
    virtual ~Updater() = default;
    virtual void start(bool automaticChecks) = 0;
    // Turns the daily background check on or off.
    virtual void setAutomaticChecks(bool /*enabled*/) {}
    // A check the user asked for: it always answers, with a window.
    virtual void checkForUpdates() {}
};

// The About window: opens, or comes to the front when it is already open.
class AboutWindow {
public:
    virtual ~AboutWindow() = default;
    virtual void show() = 0;
};

// Watches the system clipboard and writes to it.
class PasteboardWatcher {
public:
    // text and its sha256ShortHex hash
    using ChangeHandler = std::function<void(const std::string& text, const std::string& hash)>;

    virtual ~PasteboardWatcher() = default;
    // The handler may be called on the watcher's own thread.
    virtual void setOnChange(ChangeHandler handler) = 0;
    virtual void start() = 0;
    // Stops polling; no change is reported afterwards.
    virtual void stop() = 0;
    // The next change whose text has this hash is not reported (our own write).
    virtual void setSuppressHash(const std::string& hash) = 0;
    virtual void writeString(const std::string& text) = 0;
};

} // namespace sorvane
