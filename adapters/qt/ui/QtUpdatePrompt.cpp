#include "adapters/qt/ui/QtUpdatePrompt.h"

#include "adapters/qt/ui/Appearance.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include <memory>

namespace sorvane {
namespace {

QString q(const std::string& text) { return QString::fromStdString(text); }

QDialog* dialogWith(const UpdateNotice& notice, QVBoxLayout** column) {
    auto* dialog = new QDialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(QStringLiteral("Software Update"));
    dialog->setObjectName(QStringLiteral("SorvaneUpdateWindow"));
    auto* row = new QHBoxLayout(dialog);
    auto* icon = new QLabel;
    icon->setPixmap(QApplication::windowIcon().isNull()
                        ? dialog->style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(64, 64)
                        : QApplication::windowIcon().pixmap(64, 64));
    icon->setAlignment(Qt::AlignTop);
    row->addWidget(icon);
    auto* text = new QVBoxLayout;
    row->addLayout(text, 1);
    auto* title = new QLabel(q(notice.title));
    title->setTextFormat(Qt::PlainText);
    title->setObjectName(QStringLiteral("title"));
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    auto* body = new QLabel(q(notice.text));
    body->setTextFormat(Qt::PlainText);
    body->setObjectName(QStringLiteral("text"));
    body->setWordWrap(true);
    text->addWidget(title);
    text->addWidget(body);
    *column = text;
    return dialog;
}

} // namespace

QtUpdatePrompt::~QtUpdatePrompt() {
    if (m_open)
        m_open->deleteLater();
}

void QtUpdatePrompt::show(QDialog* dialog) {
    if (m_open)
        m_open->close();
    m_open = dialog;
    appearance::follow(dialog, [dialog] { dialog->setPalette(appearance::dialogPalette()); });
    dialog->setWindowIcon(QApplication::windowIcon());
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

void QtUpdatePrompt::inform(const UpdateNotice& notice) {
    QVBoxLayout* column = nullptr;
    QDialog* dialog = dialogWith(notice, &column);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    buttons->button(QDialogButtonBox::Ok)->setIcon(QIcon()); // plain, like the offer's buttons
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    column->addWidget(buttons);
    show(dialog);
}

void QtUpdatePrompt::offer(const UpdateNotice& notice, const std::string& releaseNotes,
                           std::function<void(UpdateChoice)> answer) {
    QVBoxLayout* column = nullptr;
    QDialog* dialog = dialogWith(notice, &column);
    dialog->resize(560, 400);
    if (!releaseNotes.empty()) {
        auto* heading = new QLabel(QStringLiteral("Release Notes:"));
        QFont bold = heading->font();
        bold.setBold(true);
        heading->setFont(bold);
        auto* notes = new QPlainTextEdit;
        notes->setObjectName(QStringLiteral("releaseNotes"));
        notes->setReadOnly(true);
        notes->setPlainText(q(releaseNotes));
        column->addWidget(heading);
        column->addWidget(notes, 1);
    }
    // The answer is given once: by a button, or as "later" when the window closes.
    auto pending = std::make_shared<std::function<void(UpdateChoice)>>(std::move(answer));
    auto give = [pending](UpdateChoice choice) {
        if (auto callback = std::exchange(*pending, nullptr))
            callback(choice);
    };
    auto* buttons = new QHBoxLayout;
    auto* skip = new QPushButton(QStringLiteral("Skip This Version"));
    auto* later = new QPushButton(QStringLiteral("Remind Me Later"));
    auto* install = new QPushButton(QStringLiteral("Install Update"));
    install->setDefault(true);
    buttons->addWidget(skip);
    buttons->addStretch(1);
    buttons->addWidget(later);
    buttons->addWidget(install);
    column->addLayout(buttons);
    QObject::connect(skip, &QPushButton::clicked, dialog, [dialog, give] {
        dialog->close();
        give(UpdateChoice::skip);
    });
    QObject::connect(later, &QPushButton::clicked, dialog, [dialog, give] {
        dialog->close();
        give(UpdateChoice::remindLater);
    });
    QObject::connect(install, &QPushButton::clicked, dialog, [dialog, give] {
        dialog->close();
        give(UpdateChoice::install);
    });
    QObject::connect(dialog, &QObject::destroyed, [give] { give(UpdateChoice::remindLater); });
    show(dialog);
}

} // namespace sorvane
