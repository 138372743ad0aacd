// Tells the search panel about mouse clicks outside it, without grabbing the
// pointer, so the click still reaches the window it was aimed at.
//
// Clicks in this program's other windows are seen through an application event
// filter. Clicks in other programs are seen, on X11, through XInput 2 raw
// button events selected on the root window of a connection of our own; the
// pointer position at that moment decides whether the click was outside. On
// other platforms, or when the X server lacks XInput 2.0 (logged once), only
// this program's own clicks are seen.
//
// Under a Wayland session the X server is XWayland, which sees no click on a
// native Wayland window. There the panel also counts the keyboard focus
// leaving this program (to a window of another one) as a click outside: the
// compositor moves the focus on such a click. A window of our own taking the
// focus (an alert the panel asked for) does not count.
//
// Thread-safety: main thread only. `onOutside` is called on the main thread,
// on a later turn of the event loop than the click.
#pragma once

#include <QObject>
#include <QPoint>
#include <QSize>

#include <functional>
#include <vector>

class QSocketNotifier;
class QWidget;
struct _XDisplay;

namespace sorvane {

// One screen as Qt places it: its top-left corner (where Qt keeps the native
// origin), its size in device-independent pixels and its scale.
struct ScreenPlacement {
    QPoint origin;
    QSize size;
    qreal ratio = 1.0;
};

// A position in the X server's pixels as Qt's device-independent position: on
// the screen whose native area holds it, scaled about that screen's origin (the
// mapping Qt itself uses). Outside every screen: the first screen's scale.
QPoint nativeToLogical(QPoint native, const std::vector<ScreenPlacement>& screens);

class PanelClickWatcher final : public QObject {
public:
    // Becomes a child of `panel`.
    PanelClickWatcher(QWidget& panel, std::function<void()> onOutside);
    ~PanelClickWatcher() override;

    // True when clicks in other programs are seen.
    bool watchesOtherPrograms() const { return m_display != nullptr; }
    // Whether the focus leaving this program counts as a click outside; on by
    // default under a Wayland session (WAYLAND_DISPLAY set).
    void setHidesOnFocusLoss(bool hides) { m_hidesOnFocusLoss = hides; }
    bool hidesOnFocusLoss() const { return m_hidesOnFocusLoss; }
    static bool waylandSessionFromEnvironment();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void openX11();
    void readX11();
    void outside();

    QWidget& m_panel; // our parent, so it outlives us
    std::function<void()> m_onOutside;
    _XDisplay* m_display = nullptr;
    int m_xiOpcode = 0;
    QSocketNotifier* m_notifier = nullptr;
    bool m_hidesOnFocusLoss = waylandSessionFromEnvironment();
};

} // namespace sorvane
