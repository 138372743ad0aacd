// The update windows: "You're up to date.", the error, and the offer of a
// newer version with its release notes (plain text, never live HTML) and the
// buttons Install Update, Remind Me Later and Skip This Version. Light or dark
// as the desktop asks. The windows do not block: the offer's answer arrives
// through its callback once a button is pressed (closing it means later).
//
// Thread-safety: main thread only, with a QApplication.
#pragma once

#include "ports/Updates.h"

#include <QPointer>

class QDialog;

namespace sorvane {

class QtUpdatePrompt final : public UpdatePrompt {
public:
    QtUpdatePrompt() = default;
    ~QtUpdatePrompt() override;

    void inform(const UpdateNotice& notice) override;
    void offer(const UpdateNotice& notice, const std::string& releaseNotes,
               std::function<void(UpdateChoice)> answer) override;

private:
    // One update window at a time: a new one replaces the last.
    void show(QDialog* dialog);
    QPointer<QDialog> m_open;
};

} // namespace sorvane
