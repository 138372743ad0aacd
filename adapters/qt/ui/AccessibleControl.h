// What an assistive technology reads for a custom-drawn widget that acts as a
// button, a link, a page tab or a picture, and how it presses it. A plain
// QWidget reads as an unnamed client area; a widget that also derives
// (publicly) from AccessibleControl reads with the role given here, offers
// the press action when it has one, and adds the states it reports.
//
// Thread-safety: main thread only, with a QApplication.
#pragma once

#include <QAccessible>

#include <functional>

namespace sorvane {

class AccessibleControl {
public:
    virtual ~AccessibleControl() = default;

    QAccessible::Role accessibleRole() const { return m_role; }
    // Runs what a click runs; false when the control has no press action.
    bool accessiblePress() const;
    bool hasAccessiblePress() const { return static_cast<bool>(m_press); }
    // The checked or disabled state a control draws itself.
    virtual void addAccessibleState(QAccessible::State& state) const;

protected:
    // Installs the interface factory the first time a control is made.
    explicit AccessibleControl(QAccessible::Role role, std::function<void()> press = {});

private:
    QAccessible::Role m_role;
    std::function<void()> m_press;
};

} // namespace sorvane
