// The About window itself: the program's icon, name and version, what it does,
// a "Details" card (transport, encryption, storage), a "Links" card (the web
// site, and a mail to report an issue) and a copyright line whose credit links
// to the web site. A titled window of fixed size 420 × 620 that can be closed
// and minimised but not resized, shown in the task bar like any other window.
// Ctrl+W closes it. Light or dark as the desktop asks (Appearance.h), also when
// that changes while it is open.
//
// The links open in the desktop's browser or mail program through
// QDesktopServices; when that fails nothing else happens (the desktop says why,
// if it says anything).
//
// Thread-safety: main thread only, with a QApplication.
#pragma once

#include <QString>
#include <QUrl>
#include <QWidget>

namespace sorvane {

// What the About window tells about this build.
struct AboutFacts {
    QString version;      // "0.1.0"
    QUrl website;         // the link of "Visit website" and of the credit
    QString supportEmail; // the mailbox "Report an issue" writes to

    // The application's version (QCoreApplication::applicationVersion()), or
    // the version this build was configured with when the application states
    // none; the web site and mailbox this build was configured with.
    static AboutFacts ofThisBuild();
    // "mailto:<supportEmail>?subject=Sorvane%20issue".
    QUrl reportIssueUrl() const;
};

class AboutView final : public QWidget {
public:
    // The window, hidden. The copyright year is the current date's.
    explicit AboutView(AboutFacts facts = AboutFacts::ofThisBuild(), QWidget* parent = nullptr);
    ~AboutView() override;

    static constexpr int kWidth = 420;
    static constexpr int kHeight = 620;

    const AboutFacts& facts() const { return m_facts; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    const AboutFacts m_facts;
};

} // namespace sorvane
