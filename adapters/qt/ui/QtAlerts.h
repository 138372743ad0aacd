// The program's alerts as Qt message boxes: the confirmations of destructive
// commands, the errors of commands the user asked for, and the Bluetooth-off
// notice.
//
// Thread-safety: main thread only. confirm() and showError() run a nested
// modal loop until the user answers; showBluetoothOffAlert() posts its alert to the main queue and
// returns at once.
#pragma once

#include "ports/AppServices.h"
#include "ports/MainQueue.h"

#include <functional>
#include <string>
#include <vector>

namespace sorvane {

class QtAlerts final : public AlertPresenter {
public:
    // Starts a program detached (the desktop's Bluetooth settings); false when
    // it could not be started.
    using Launcher = std::function<bool(const std::string& program, const std::vector<std::string>& arguments)>;

    explicit QtAlerts(MainQueue& mainQueue, Launcher launcher = {});

    void showBluetoothOffAlert() override;
    bool confirm(const ConfirmationRequest& request) override;
    void showError(const std::string& title, const std::string& text) override;

    // The first of the desktops' Bluetooth settings programs found on PATH:
    // GNOME's, KDE's, then Blueman. Empty when none is installed.
    static std::vector<std::string> bluetoothSettingsCommand();
    // Opens it, or logs that there is none.
    void openBluetoothSettings();

private:
    MainQueue& m_mainQueue;
    Launcher m_launch;
};

} // namespace sorvane
