#include "adapters/qt/ui/AccessibleControl.h"

#include <QAccessibleWidget>
#include <QWidget>

namespace sorvane {

namespace {

// A widget's interface with the control's role, states and press action. The
// control is looked up on each call: while the widget is destroyed it no longer
// is one, and the interface falls back to the plain widget's answers.
class AccessibleControlInterface final : public QAccessibleWidget {
public:
    AccessibleControlInterface(QWidget* widget, const AccessibleControl& control)
        : QAccessibleWidget(widget, control.accessibleRole()) {}

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        if (const AccessibleControl* c = control())
            c->addAccessibleState(state);
        return state;
    }

    QStringList actionNames() const override {
        QStringList names = QAccessibleWidget::actionNames();
        if (const AccessibleControl* c = control(); c && c->hasAccessiblePress() && widget()->isEnabled())
            names.prepend(pressAction());
        return names;
    }

    void doAction(const QString& name) override {
        const AccessibleControl* c = control();
        if (name == pressAction() && c && widget()->isEnabled())
            c->accessiblePress();
        else
            QAccessibleWidget::doAction(name);
    }

private:
    const AccessibleControl* control() const { return dynamic_cast<const AccessibleControl*>(widget()); }
};

QAccessibleInterface* controlInterface(const QString&, QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    auto* control = dynamic_cast<AccessibleControl*>(object);
    return widget && control ? new AccessibleControlInterface(widget, *control) : nullptr;
}

} // namespace

AccessibleControl::AccessibleControl(QAccessible::Role role, std::function<void()> press)
    : m_role(role), m_press(std::move(press)) {
    // Installed factories are asked before Qt's own, the latest first; once is enough.
    static const bool installed = (QAccessible::installFactory(controlInterface), true);
    (void)installed;
}

bool AccessibleControl::accessiblePress() const {
    if (!m_press)
        return false;
    m_press();
    return true;
}

void AccessibleControl::addAccessibleState(QAccessible::State&) const {}

} // namespace sorvane
