#include "adapters/qt/ui/QtAlerts.h"

#include "adapters/qt/ui/Appearance.h"
#include "base/Log.h"

#include <QApplication>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>

namespace sorvane {
namespace {

QString q(const std::string& text) { return QString::fromStdString(text); }

// Brings the box in front of the window the user was working in: the program
// has no main window of its own. It is light or dark as the desktop asks, also
// when that changes while it is up.
void raise(QMessageBox& box) {
    appearance::follow(&box, [&box] { box.setPalette(appearance::dialogPalette()); });
    box.setWindowIcon(QApplication::windowIcon());
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.show();
    box.raise();
    box.activateWindow();
}

} // namespace

QtAlerts::QtAlerts(MainQueue& mainQueue, Launcher launcher)
    : m_mainQueue(mainQueue), m_launch(std::move(launcher)) {
    if (!m_launch) {
        m_launch = [](const std::string& program, const std::vector<std::string>& arguments) {
            QStringList args;
            for (const auto& a : arguments)
                args << q(a);
            return QProcess::startDetached(q(program), args);
        };
    }
}

std::vector<std::string> QtAlerts::bluetoothSettingsCommand() {
    const std::vector<std::vector<std::string>> candidates = {
        {"gnome-control-center", "bluetooth"},
        {"systemsettings", "kcm_bluetooth"},
        {"blueman-manager"},
    };
    for (const auto& command : candidates) {
        const QString found = QStandardPaths::findExecutable(q(command.front()));
        if (!found.isEmpty()) {
            std::vector<std::string> resolved = command;
            resolved.front() = found.toStdString();
            return resolved;
        }
    }
    return {};
}

void QtAlerts::openBluetoothSettings() {
    const auto command = bluetoothSettingsCommand();
    if (command.empty()) {
        logLine("Sorvane: no Bluetooth settings program found (gnome-control-center, systemsettings, "
                "blueman-manager)");
        return;
    }
    if (!m_launch(command.front(), {command.begin() + 1, command.end()}))
        logLine("Sorvane: could not start " + command.front());
}

bool QtAlerts::confirm(const ConfirmationRequest& request) {
    QMessageBox box;
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(QStringLiteral("Sorvane"));
    box.setText(q(request.message));
    box.setInformativeText(q(request.informativeText));
    QPushButton* action = box.addButton(q(request.actionButton), QMessageBox::AcceptRole);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    // Return cancels: the destructive action needs a click.
    action->setAutoDefault(false);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    raise(box);
    box.exec();
    return box.clickedButton() == action;
}

void QtAlerts::showError(const std::string& title, const std::string& text) {
    QMessageBox box;
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(QStringLiteral("Sorvane"));
    box.setText(q(title));
    box.setInformativeText(q(text));
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    raise(box);
    box.exec();
}

void QtAlerts::showBluetoothOffAlert() {
    m_mainQueue.post([this] {
        QMessageBox box;
        box.setIcon(QMessageBox::Warning);
        box.setWindowTitle(QStringLiteral("Sorvane"));
        box.setText(QStringLiteral("Bluetooth is turned off"));
        box.setInformativeText(QStringLiteral("Sorvane needs Bluetooth to sync your clipboard. Please enable "
                                              "Bluetooth in your desktop's Bluetooth settings."));
        QPushButton* open = box.addButton(QStringLiteral("Open Settings"), QMessageBox::AcceptRole);
        QPushButton* dismiss = box.addButton(QStringLiteral("Dismiss"), QMessageBox::RejectRole);
        box.setDefaultButton(open);
        box.setEscapeButton(dismiss);
        raise(box);
        box.exec();
        if (box.clickedButton() == open)
            openBluetoothSettings();
    });
}

} // namespace sorvane
