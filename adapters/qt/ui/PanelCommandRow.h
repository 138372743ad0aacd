// One row of the search panel's command area: the header about the phone
// ("Pair phone", "Pixel · Connected"), a shortcut row ("Preferences…" with its
// key hint after the tab of its label) or a plain action row. A click anywhere
// on the row runs its action; hovering highlights it. Assistive technology
// reads it as a button named by its title, with the key hint as description.
//
// Thread-safety: main thread only.
#pragma once

#include "adapters/qt/ui/AccessibleControl.h"
#include "ui/PanelItems.h"

#include <QWidget>

#include <functional>

namespace sorvane {

class PanelCommandRow final : public QWidget, public AccessibleControl {
public:
    enum class Kind { header, shortcut, action };

    // `action` runs on a click, except on a disabled plain action row.
    PanelCommandRow(const PanelItemDef& item, std::function<void()> action, QWidget* parent = nullptr);

    Kind kind() const { return m_kind; }
    const std::string& id() const { return m_id; }
    // The texts as shown: the title and, for a shortcut row, the key hint; for
    // the header, the hint shown while hovered ("Unpair").
    const QString& title() const { return m_title; }
    const QString& hint() const { return m_hint; }
    bool isHovered() const { return m_hovered; }

    QSize sizeHint() const override;
    void addAccessibleState(QAccessible::State& state) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void run();

    Kind m_kind;
    std::string m_id;
    QString m_title;
    QString m_hint;
    bool m_enabled = true;
    bool m_checkable = false;
    bool m_checked = false;
    bool m_hovered = false;
    bool m_pressed = false;
    std::function<void()> m_action;
};

} // namespace sorvane
