#include "adapters/qt/ui/Appearance.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QPointer>
#include <QWidget>

#include <algorithm>
#include <vector>

namespace sorvane::appearance {
namespace {

struct Follower {
    QPointer<QObject> owner;
    std::function<void()> restyle;
};

ColorScheme gScheme = ColorScheme::light;
std::vector<Follower> gFollowers;

void forgetTheGone() {
    std::erase_if(gFollowers, [](const Follower& f) { return f.owner.isNull(); });
}

} // namespace

ColorScheme colorScheme() { return gScheme; }

void setColorScheme(ColorScheme scheme) {
    if (scheme == gScheme)
        return;
    gScheme = scheme;
    panelstyle::shownColours = scheme == ColorScheme::dark ? panelstyle::darkColours() : panelstyle::lightColours();
    forgetTheGone();
    // A restyle may make new followers (or end old ones): go by a copy.
    const std::vector<Follower> followers = gFollowers;
    for (const Follower& f : followers)
        if (!f.owner.isNull())
            f.restyle();
}

void followDesktop(DesktopAppearance& desktop, std::function<void(std::optional<ColorScheme>)> alsoTell) {
    setColorScheme(desktop.colorScheme());
    if (alsoTell)
        alsoTell(desktop.statedColorScheme());
    desktop.setOnChange([&desktop, alsoTell = std::move(alsoTell)](ColorScheme scheme) {
        setColorScheme(scheme);
        if (alsoTell)
            alsoTell(desktop.statedColorScheme());
    });
}

void follow(QObject* owner, std::function<void()> restyle) {
    restyle();
    forgetTheGone();
    gFollowers.push_back({owner, std::move(restyle)});
}

void tint(QWidget* widget, QPalette::ColorRole role, QColor panelstyle::Colours::*colour) {
    follow(widget, [widget, role, colour] {
        QPalette palette = widget->palette();
        palette.setColor(role, panelstyle::shownColours.*colour);
        widget->setPalette(palette);
    });
}

QPalette dialogPalette() {
    if (gScheme == ColorScheme::light)
        return QApplication::palette();
    const panelstyle::Colours c = panelstyle::darkColours();
    const QColor window = c.background;
    const QColor button = window.lighter(135);
    QPalette p;
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, c.primary);
    p.setColor(QPalette::Base, window.darker(125));
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::Text, c.primary);
    p.setColor(QPalette::PlaceholderText, c.tertiary);
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, c.primary);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Light, button.lighter(130));
    p.setColor(QPalette::Midlight, button.lighter(115));
    p.setColor(QPalette::Mid, window.darker(120));
    p.setColor(QPalette::Dark, window.darker(160));
    p.setColor(QPalette::Shadow, Qt::black);
    p.setColor(QPalette::Highlight, c.selected);
    p.setColor(QPalette::HighlightedText, c.onSelected);
    p.setColor(QPalette::Link, c.accent);
    p.setColor(QPalette::LinkVisited, c.accent.darker(115));
    p.setColor(QPalette::ToolTipBase, button);
    p.setColor(QPalette::ToolTipText, c.primary);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, c.tertiary);
    p.setColor(QPalette::Disabled, QPalette::Button, window);
    return p;
}

QWidget* divider(QWidget* parent, QMargins padding) {
    auto* box = new QWidget(parent);
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(padding);
    auto* line = new QWidget(box);
    line->setFixedHeight(1);
    line->setAutoFillBackground(true);
    tint(line, QPalette::Window, &panelstyle::Colours::divider);
    layout->addWidget(line);
    return box;
}

} // namespace sorvane::appearance
