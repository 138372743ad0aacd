// Stand-ins for the desktop components that a headless run does without: no
// tray icon, no panel, no pairing window (it counts as closed), alerts logged,
// no hot-key, nothing to install, no update checks, no desktop to paste into.
//
// Thread-safety: main thread only, like the components they replace.
#pragma once

#include "ports/AppServices.h"
#include "ports/AutoPasteDesktop.h"
#include "ui/SearchPanelView.h"
#include "base/Log.h"

namespace sorvane {

class HeadlessStatusItem final : public StatusItem {
public:
    void setApplicationIcon() override {}
    void install() override {}
    void animateIconPulse() override {}
    void setOnActivate(std::function<void()>) override {}
    void setIconChoice(const std::string&) override {}
};

// No window to show: the panel never opens.
class HeadlessPanel final : public SearchPanelView {
public:
    void showPanel(std::vector<PanelItemDef>, PanelFlags, OnSelect) override {
        logLine("Sorvane: no display \u2014 the panel cannot open");
    }
    void updatePanel(std::vector<PanelItemDef>, PanelFlags) override {}
    void hidePanel() override {}
    bool isPanelVisible() const override { return false; }
    void showToast(const std::string&) override {}
};

class HeadlessPairingWindow final : public PairingWindow {
public:
    void show(const std::string&, const std::array<uint8_t, 32>&) override {
        logLine("Sorvane: no display \u2014 the pairing window cannot open");
    }
    bool isOpen() const override { return false; }
    void close() override {}
};

class HeadlessAlerts final : public AlertPresenter {
public:
    void showBluetoothOffAlert() override {
        logLine("Sorvane: Bluetooth is off \u2014 turn it on to send to your phone");
    }
    bool confirm(const ConfirmationRequest& request) override {
        logLine("Sorvane: \"" + request.message + "\" needs a display to confirm \u2014 not done");
        return false;
    }
    void showError(const std::string& title, const std::string& text) override {
        logLine("Sorvane: " + title + ": " + text);
    }
};

// Without a display no key can be grabbed: every registration fails.
class HeadlessHotKey final : public HotKeyService {
public:
    void setOnPressed(std::function<void()>) override {}
    int registerHotKey(uint32_t, uint32_t) override { return -1; }
    void unregisterHotKey() override {}
};

class HeadlessInstaller final : public Installer {
public:
    bool promptAndMoveIfNeeded() override { return false; }
    void enableLaunchAtLoginByDefault() override {}
};

class HeadlessUpdater final : public Updater {
public:
    void start(bool) override {}
    void checkForUpdates() override {
        logLine("Sorvane: update checks are not available in this build");
    }
};

// Without a clipboard connection nothing is reported and writes are logged.
class HeadlessPasteboardWatcher final : public PasteboardWatcher {
public:
    void setOnChange(ChangeHandler) override {}
    void start() override {}
    void stop() override {}
    void setSuppressHash(const std::string&) override {}
    void writeString(const std::string& text) override {
        logLine("Sorvane: no clipboard available; received text (" + std::to_string(text.size()) +
                " bytes) kept in history only");
    }
};

// Without a desktop there is nothing in front and no keystroke may be posted.
using HeadlessAutoPasteDesktop = NoAutoPasteDesktop;

} // namespace sorvane
